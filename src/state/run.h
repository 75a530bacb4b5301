// The state of one QK run. Every stage of a run (command line, loading,
// scanning, writing, reporting) reads and updates one Run object passed by
// reference; it is split into small plain structs so that a test can build
// just the parts a stage needs. Nothing here is global: a test may create as
// many runs as it likes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "stream/journal_format.h"
#include "stream/output_stream.h"
#include "stream/recovery.h"

namespace qk {

// A search or new text given as an argument holds at most this many
// characters; validation refuses a longer one (a file named by -L may hold
// any length). The last byte of a slot always ends its text.
constexpr int kSlotText = 261;
constexpr int kSlotSize = kSlotText + 1;

// A file name is taken whole up to the longest path the system opens; a
// longer one is refused, never cut (a cut name can name another file).
constexpr int kNameText = 4095;
constexpr int kNameSize = kNameText + 1;

// The largest target or -L file (2^31 - 65 bytes).
constexpr int64_t kMaxFileSize = 2147483583;
static_assert(kMaxFileSize == journal::kLargestTarget, "a journal is for any target");

struct TextSlots {
  char file_name[kNameSize] = {};
  char search[kSlotSize] = {};
  char new_text[kSlotSize] = {};
  char scratch[kSlotSize] = {};
  char output_name[kNameSize] = {};
  char saved_new[kSlotSize] = {};
};

// One byte per switch: 0 when the switch is not in force, otherwise its
// letter or sub-option character, as the switch table of the help lists.
struct Settings {
  char append_insert = 0;    // 'A' or 'I'
  char case_sensitive = 0;   // 'C'
  char whole_lines = 0;      // 'D'
  char line_option = 0;      // 'P', 'L' or 'R' (with -D)
  char help = 0;             // 'H'
  char help_page = 0;        // '1', '2', '3', 'A', 'P' or 'V'
  char overwrite = 0;        // 'O'
  char line_filter = 0;      // 'U' or 'M'
  char pause = 0;            // 'P'
  char verbosity = '2';      // '0' silent .. '3' maximum
  char add_mode = 0;         // 'B' or 'T': add when nothing matched
  char create = 0;           // 'C'; 'Y' once the loader created the file
  char g_pending = 0;        // 'G': next argument is a text
  char e_pending = 0;        // 'E': next text names an environment variable
  char special_k = 0;        // 'K'
  char reset_per_match = 0;  // 'M' from -K:RM
  char selection = 0;        // '#'
  char selection_mode = 0;   // 'O','E','L','I','J','0','R','S' (+ kLastPhase2)
  char padding = 0;          // 'N'
  uint8_t pad_byte = 32;
  char wildcard_change = 0;  // 'W'
  uint8_t wildcard_byte = 32;
  char quote_change = 0;    // '\''
  char whole_line_amp = 0;  // 'X'
  char no_quote_conv = 0;   // 'Z'
  char amp = 0;             // '&'
  char amp_case = 'C';      // 'C', 'L', 'U'; 0 when -& was not given
  char output = 0;          // '$': output name pending, later: -$ in use
  char output_mode = 0;     // '$' or 'A' (-$:A)
  char full_writing = 0;    // '~'
  char start_anchor = 0;    // '#'
  char end_anchor = 0;      // '%' or set from the search text
  // Special characters 1..4 (index 0 unused): wildcard, insert, anchors.
  char special[5] = {0, '@', '&', '#', '!'};
  char disabled[5] = {};  // the digit when disabled
  // -L markers: 0, 'L', '6' (no name) or a load status '1','3','4','5'.
  char l_search = 0;
  char l_new = 0;

  // -#:0 and -#:R only count: the target is opened for reading only.
  bool report_only() const { return selection && (selection_mode == '0' || selection_mode == 'R'); }
};

// The internal second phase of -#:L.
constexpr char kLastPhase2 = 'l';

struct MatchList {
  int32_t numbers[10] = {};
  int count = 0;  // entries in use; the last one may still be 0 while read
};

struct KEntry {
  int mode = 0;  // 0..9, or the character code of H, I, C, G, L
  char ch = 0;
};

struct KEntries {
  KEntry entries[10];
  int count = 0;
  int line_breaks = 0;  // mode-6 entries, which stand first
};

struct ParseState {
  int recognised = 0;
  int accepted = 0;
  bool has_bad_text = false;
  std::string bad_text;
  bool bad_switch = false;      // the bad argument was read as a switch
  bool switches_ended = false;  // "--" was given: every later argument is a text
  // The double-quote repair of Windows command lines (-Z turns it off).
  bool repair_quotes = platform::kRepairQuotes;
  // The first argument refused for its length: 'F' the file name, 'O' the
  // output name, 'S' <search>, 'N' <new>; and its length.
  char too_long = 0;
  uint64_t too_long_length = 0;
};

// The search and new texts. They live in their slots, or in buffers of
// their own when an -L file was larger than a slot; they are known by
// length only and may hold any byte.
struct Texts {
  TextSlots slots;
  char* search = slots.search;
  char* new_text = slots.new_text;
  uint32_t search_len = 0;
  uint32_t new_len = 0;
  // The texts as given (argument or environment value), whole: the slots
  // hold at most kSlotText characters of them. Validation refuses a longer
  // text, or takes it whole as the name of an -L file.
  std::string search_given;
  std::string new_given;
  std::vector<char> search_buffer;
  std::vector<char> new_buffer;
  // Names of the -L files, kept for messages and the -K:RM reload.
  std::string search_file;
  std::string new_file;
};

// The file image: the target's bytes, at image offsets 0 to size(). A
// streamed image (one with a source file) holds only some chunks of it in
// memory, read as they are needed, in a window of address space a few
// chunks wide that moves along the file: every reader asks for its bytes
// first (fileio/image.h) and takes their address from at() after that, so
// an address is good only until the next request. An image without a
// source is all in memory, at fixed addresses.
struct FileImage {
  FileImage() = default;
  FileImage(const FileImage&) = delete;
  FileImage& operator=(const FileImage&) = delete;
  ~FileImage();  // frees the buffer if the run did not release it

  char* buffer = nullptr;  // what the platform allocated or reserved
  size_t allocated = 0;
  int created_offset = 0;  // 1 for the image of a created file
  int64_t length = 0;
  int64_t size() const { return length; }

  // Image offset `window_offset` lies at `window`.
  const char* window = nullptr;
  int64_t window_offset = 0;
  const char* at(int64_t offset) const { return window + (offset - window_offset); }
  int64_t offset_of(const char* address) const { return window_offset + (address - window); }

  // Streaming.
  bool reserved = false;  // the buffer is reserved address space
  platform::FileHandle source = platform::kNoFile;
  // 2 MiB, the size of a huge page: on the virtual machines measured, the
  // remapping that reuses a chunk's memory made 1 MiB chunks cost eight
  // times the processor time of 2 MiB ones (each small page moved is
  // faulted in again), while larger chunks no longer stay in the cache
  // between the read and the scan.
  int64_t chunk_size = 2 << 20;
  int64_t window_chunks = 0;  // the window's width
  // Per chunk of the file: 0 not in memory, 1 in memory.
  std::vector<uint8_t> chunks;
  std::vector<int64_t> in_memory;  // the chunks in memory, in no order
  // Chunk places in the window that have memory but hold no chunk, by
  // their place in it.
  std::vector<int64_t> free_memory;
  int64_t written_end = 0;  // the end of the furthest write in place so far
  // The range last asked for, which no chunk release may touch, and the run
  // of in-memory bytes around it, for the quick test of the next request
  // (image offsets).
  int64_t asked_begin = 0;
  int64_t asked_end = 0;
  int64_t ready_begin = 0;
  int64_t ready_end = 0;
  int32_t failure = 0;  // -5 (a read failed) or -3 (no memory) once it happened
};

struct WriterState {
  int64_t cursor = 0;  // every image byte before this offset is emitted
  int64_t net_change = 0;
  int64_t bytes_written = 0;
  // Set when a write would have grown the output past kMaxFileSize; the
  // write is dropped and the run is undone.
  bool over_limit = false;
  OutputStream out;
  // The first block of a long pass over unchanged bytes, when its last
  // block cannot be in memory along with it.
  char head[OutputStream::kBlock];
};

// What guarding the target before it is read found (fileio/loader.h): a
// dead run's journal put back or refused, another run editing the file, or
// no place for this run's journal. The driver reports it.
struct TargetGuard {
  Recovery recovery = Recovery::kNone;
  std::string journal;  // the journal the report speaks of
  std::string owner;    // kOtherUser: whose it is
  bool busy = false;    // another QK run is editing the target
  // An edit needed a journal and none could be made, for this reason.
  bool no_journal = false;
  platform::MakeFailure why_none = platform::MakeFailure::kNone;
};

struct MatchState {
  int64_t start_offset = 0;  // where the next find begins, from the cursor
  int64_t offset = -1;       // -1 none, -2 skipped by selection
  int64_t length = 0;        // -2 is the added marker
  int64_t start = 0;         // its image offset
  int64_t line_start = 0;    // -M: line start offset from the cursor
  int64_t line_length = 0;
  // The line modes: the length of the line break that ends the match's
  // line (2 for CR LF, 1 for a bare line feed, 0 when none comes before
  // the image end), and whether the widened match ends right where it
  // begins.
  int32_t line_break = 0;
  bool break_behind = false;
  bool crlf_consumed = false;  // the length already takes in the line's break
  // A last line, which no break ends: the bytes behind its end that -U
  // removes with it (1 for the line feed of a CR LF the match took in, 0
  // when the line ends at the image end or before an end-of-file mark, which
  // stays); -1 for any other line.
  int32_t line_tail = -1;
};

// The line break QK writes itself (the lines -D adds with -A, -I, -B and
// -T; -K line-break characters): the kind of the image's first line break,
// so that an added line ends like the file's own; CR LF in a file without
// one.
struct WrittenBreak {
  const char* bytes = "\r\n";
  int32_t length = 2;
};

// The ways the matcher's scan can run: the widest vector instructions the
// processor has, or plain C++ on any processor.
enum class ScanPath : uint8_t { kBest, kPlain, kSse2, kAvx2 };

// How the matcher scans for the search text, worked out once per text. It
// holds no copy of the text, so a search text of any size costs nothing.
struct SearchPlan {
  bool ready = false;
  bool all_wildcards = false;  // every position is a candidate
  bool has_wildcards = false;
  bool ignore_case = true;
  uint8_t wildcard = 0;
  // The two literal positions the scan tests at every candidate before it
  // compares the rest (the same one twice when the text has one literal
  // byte), their bytes (small letters when case is ignored), and what is
  // ORed into an image byte before the compare: 0x20 for a letter when
  // case is ignored, so that both cases compare equal, else 0.
  int64_t first = 0;
  int64_t second = 0;
  uint8_t first_byte = 0;
  uint8_t second_byte = 0;
  uint8_t first_fold = 0;
  uint8_t second_fold = 0;
  // False when the first byte is rare enough that testing it alone stops
  // the scan less often than testing the second costs.
  bool pair = true;
  // kBest picks the fastest path the processor runs; a test sets another.
  ScanPath path = ScanPath::kBest;
  // A text of at most eight bytes is compared as one word: the eight bytes
  // at a candidate, ORed with `word_fold` (the case bit of its letters when
  // case is ignored) and masked with `word_care` (not its wildcards), must
  // equal `word_want`.
  bool word_compare = false;
  uint64_t word_want = 0;
  uint64_t word_fold = 0;
  uint64_t word_care = 0;
};

constexpr int64_t kNoMatch = -1;
constexpr int64_t kSkipped = -2;
constexpr int64_t kAddedMarker = -2;

struct SelectionState {
  bool holding = false;  // -#:J has a held match
  MatchState held;
  int64_t remembered_start = 0;  // -#:L
  bool last_pending = false;     // -#:L skipped a match since its repeat
};

struct Counts {
  int32_t scan_status = 0;
  int64_t acted = 0;
  int64_t found = 0;
  int64_t finds = 0;  // calls of the matcher: at most one per image byte, plus two
  // No find starts before this image offset: one past the start of the
  // match found last, so no position is ever found twice. (Not part of a
  // match's state, which -#:J copies and swaps.)
  int64_t search_floor = 0;
  int64_t ampersand = 0;
  int64_t pending_line_rest = 0;
  int64_t expansion = 0;
  bool no_insertion_memo = false;
  bool random_entry = false;
  uint32_t random_state = 1;
};

// One piece of what each acted match writes in a batch of edits: bytes of
// the new text (or padding), or the matched text itself, as the image
// holds it.
struct NewTextPiece {
  const char* data = nullptr;
  int64_t size = 0;
  bool matched = false;  // `size` image bytes from the match start
};

// Edits in batches (engine/batch.h): where matches are dense, every match
// of the bytes in memory is found in one scan, selected, and its edit
// handed to the output stream with the others in one call. Set up once per
// run; the buffers are made then, so a batch allocates nothing.
struct BatchState {
  bool planned = false;
  bool on = false;         // the run's edits can go in batches
  bool one_match = false;  // the tests' reference: every match on its own
  std::vector<NewTextPiece> pieces;
  std::string padding;
  int64_t written = 0;     // bytes each acted match writes
  int64_t ampersands = 0;  // insertions of the matched text per acted match
  bool sets_memo = false;  // the new text holds no special character 2
  std::vector<const uint8_t*> found;
  std::vector<OutputStream::Stretch> stretches;
};

struct Run {
  Run() = default;
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  Settings settings;
  Texts texts;
  MatchList match_list;
  KEntries k;
  ParseState parse;
  FileImage image;
  WriterState writer;
  TargetGuard guard;
  MatchState match;
  SearchPlan plan;
  WrittenBreak written_break;
  SelectionState selection;
  BatchState batch;
  Counts counts;
  int32_t error_code = 0;
  FILE* console = stdout;
};

}  // namespace qk
