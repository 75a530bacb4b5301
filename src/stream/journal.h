// The restore journal of an in-place run: the one owner of what must be
// kept to put the target back. Before the stream overwrites a range of the
// target, the bytes there that are about to change go into the journal as
// one record, compactly (a run that keeps the file's length keeps only
// what its edits change, a few bytes per match); before a cut, what the
// cut takes away. A record is complete before its write is made.
//
// The journal is a file (journal_format.h) at the place journal_place.h
// describes, made and locked before the run reads the target: its lock
// keeps other runs off the file until the journal is gone, and a run that
// dies, whatever the instant, leaves what the next run needs to put the
// file back (stream/recovery.h). Where no journal file can be made, the
// run may make one lone write within one page (which the system makes
// whole or not at all) and no other. Played back newest first, the
// journal puts the original bytes and length back. The file image reads
// from it the originals of bytes that a growing edit overwrote before the
// scan got to them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "stream/checksum.h"
#include "stream/journal_format.h"
#include "stream/journal_place.h"
#include "stream/journal_store.h"
#include "stream/map_apply.h"

namespace qk {

class RestoreJournal {
 public:
  RestoreJournal() = default;
  RestoreJournal(const RestoreJournal&) = delete;
  RestoreJournal& operator=(const RestoreJournal&) = delete;
  // A journal that was not finished stays on disk, as a dead run's would.
  ~RestoreJournal();

  enum class Started {
    kJournal,  // the journal is made and locked
    kBusy,     // another run's journal has its place: nothing may be written
    kNone,     // no journal file could be made anywhere (why_none() says why)
  };
  // Starts keeping the originals of `target`, open for update and
  // `original_size` bytes long: makes its journal beside it, or in this
  // user's folder when that place is held by something that is no journal
  // of this run's (`beside_taken`) or cannot be written.
  Started start(platform::FileHandle target, const journal::Places& places, int64_t original_size,
                bool beside_taken);
  platform::MakeFailure why_none() const { return why_none_; }
  bool active() const { return active_; }
  int64_t original_size() const { return original_size_; }

  // The next write is the run's last change to the file, and no cut
  // follows: if it is the only one and lies within one page (a write the
  // system makes whole or not at all), it needs no record.
  void expect_last_write() { last_write_ = true; }

  // Keeps the bytes that `data` is about to change at [offset, offset +
  // size). What the file holds there is `originals`, or, when that is
  // nullptr, read from `file`. Only the stretches listed in `changing`
  // (begin and end pairs, from `data`) may differ from it; nullptr: any.
  // False when the originals could not be kept; the write must then not
  // happen.
  bool keep(platform::FileHandle file, const char* data, int64_t size, int64_t offset,
            const char* originals = nullptr, const std::vector<int64_t>* changing = nullptr);

  // One of several writes that go out together: `size` bytes of `data`
  // for [offset, offset + size), with `originals` as for keep(), and
  // `skip`, where `data` starts in the bytes that `changing` speaks of.
  struct Part {
    const char* data;
    int64_t size;
    int64_t offset;
    const char* originals;
    int64_t skip;
  };
  // keep() for writes in rising order that lie close together: one record
  // for all of them when they fit in one (a system call, not one a write),
  // else one record each.
  bool keep_together(platform::FileHandle file, const Part* parts, size_t count,
                     const std::vector<int64_t>* changing);
  // How far apart the first and the last byte of writes kept together
  // may be.
  static constexpr int64_t kTogetherSpan = journal::kPiece;

  // Keeps what `file` holds from `offset` to its original end, before a
  // cut takes it away. `overwritten`: the file is written again after the
  // cut, so a recovery cannot check those bytes.
  bool keep_rest(platform::FileHandle file, int64_t offset, bool overwritten = false);

  // For an output file that is the target itself: keeps the whole file
  // unless `appending` (the original bytes then stay where they are), and
  // lets it take any length; the writes that follow need no keeping.
  bool keep_all_before_rewrite(platform::FileHandle file, bool appending);

  // An edit that may change the file's length is first written down whole
  // as a map of the file: copies of the image's bytes and new bytes, in
  // the order of the output. Nothing reaches the file while the map is
  // made, so a run that dies meanwhile leaves the file as it was; once the
  // map is whole, the edit is carried out from it (stream/map_apply.h),
  // and a run that dies then leaves what the next run needs to finish it.
  bool begin_map();
  bool mapping() const { return map_ == MapState::kRecording; }
  // The map is whole and being carried out: the file can only be finished.
  bool carrying_out() const { return map_ == MapState::kDone; }
  // The map could not be kept (its journal ran out of room, say): nothing
  // was written, for this reason.
  platform::MakeFailure map_failure() const { return map_failure_; }
  // For the tests: the most bytes one write of moves takes (4 KiB at
  // least), instead of what suits the file's length.
  void set_move_chunk(int64_t bytes) { move_chunk_ = bytes; }
  // The output from `position` on: image bytes already in their place.
  bool map_same(int64_t position, int64_t size);
  // Image bytes from `image_offset`, `data` in memory.
  bool map_copy(int64_t position, const char* data, int64_t image_offset, int64_t size);
  bool map_new(int64_t position, const char* data, int64_t size);
  // The map is whole, the output `length` bytes long: carries it out on
  // `target`. False when that failed; `begun` then says whether anything
  // of it reached the file (the journal must then stay, for the next run
  // to finish it) or not (the file is as it was).
  bool finish_map(platform::FileHandle target, int64_t length, bool* begun);

  // Writes every kept byte back, newest first, and then sets the original
  // length. It stops at the first write that fails and then leaves the
  // length alone, so the journal still fits the file for a later run.
  bool play_back(platform::FileHandle file);

  // Writes over `bytes`, the file's bytes at [offset, offset + size), the
  // originals the journal holds for them: what the file held there before
  // this run wrote it. False when the journal could not be read.
  bool put_originals(char* bytes, int64_t offset, int64_t size);
  // No bytes before `offset` will be asked for again.
  void forget_before(int64_t offset);

  // Ends the journal and lets go of the lock. Its file is removed, unless
  // `keep_file` (the original could not be put back).
  void finish(bool keep_file);

  // A write needed a record and there was no journal file to keep it in.
  bool had_no_place() const { return had_no_place_; }
  // Keeping originals failed for want of memory for the journal's buffers.
  bool short_of_memory() const { return short_of_memory_; }
  bool on_disk() const { return store_.on_file(); }
  const std::string& name() const { return name_; }
  // Bytes the journal holds (or held when it finished: it only grows), for
  // tests and the benchmarks.
  int64_t size() const { return store_.on_file() ? store_.peak() : finished_size_; }

 private:
  static constexpr int64_t kPiece = journal::kPiece;
  static constexpr int64_t kBodyRoom = journal::kBodyRoom;
  static constexpr int64_t kRecordRoom =
      static_cast<int64_t>(sizeof(journal::RecordHead)) + kBodyRoom + journal::kTrailer;
  // A file that grows past its original end is recorded as growing by at
  // least this much, so a growing edit makes few such records.
  static constexpr int64_t kGrowthStep = 16 << 20;

  struct Extent {
    int64_t from;
    int64_t to;
    int64_t at;  // where its record begins in the store
  };

  bool have_buffers();
  char* body() { return record_ + sizeof(journal::RecordHead); }
  // What a record is built of: its body so far, the checksum of its spans'
  // bytes as they were, and the changes the writes make to them (which
  // give the checksum of the spans as written).
  struct Encoding {
    int64_t used = 0;
    int64_t previous_end = 0;  // of the last entry, from the record's start
    Checksum original{0};
    Checksum changes{0};
    // Some entry was long (a stretch rewritten, not a few bytes edited):
    // the checksum as written is then made from the written bytes.
    bool long_entries = false;
    Checksum written{0};
  };
  Encoding begin_record(const int64_t* spans, size_t count);
  // Entries for the bytes of `now` that differ from `old` within the
  // stretches, appended to the body, for a write `base` bytes after the
  // record's start and `spanned` bytes into its spans.
  void encode_more(Encoding* encoding, const char* old, const char* now, int64_t size,
                   const std::vector<int64_t>* changing, int64_t skip, int64_t base,
                   int64_t spanned);
  bool append_record(journal::RecordHead head, const Encoding* encoding);
  bool read_record(int64_t at, journal::RecordHead* head);
  bool make_file(const std::string& name, platform::MakeFailure* why);

  bool map_flush();
  bool map_item(uint32_t kind, int64_t position, const char* data, int64_t image, int64_t size);
  bool map_pending_out();
  // Notes the map's next item, about to be encoded, for the runs it falls
  // into.
  void note_item(bool is_new, int cls, int64_t output, int64_t size);
  void keep_run(const MapRun& run);

  enum class MapState { kNone, kRecording, kDone };
  MapState map_ = MapState::kNone;
  platform::MakeFailure map_failure_ = platform::MakeFailure::kNone;
  int64_t map_first_ = 0;     // where the first map record lies in the journal
  int64_t move_chunk_ = 0;    // the tests' choice, when not 0
  bool map_changes_ = false;  // some item of the map is not in its place
  // The runs of the map, found as it is made, while there are few enough
  // to keep.
  static constexpr size_t kKeptRuns = 16384;
  RunFinder run_finder_;
  std::vector<MapRun> runs_;
  bool runs_kept_ = true;
  int64_t map_used_ = 0;  // of the record being built
  int64_t map_items_ = 0;
  int64_t map_record_output_ = 0;  // where the record being built begins
  int64_t map_record_image_ = 0;   // the end of the copies before it
  int64_t map_output_ = 0;         // the output mapped so far, items pending included
  int64_t map_image_ = 0;          // the end of the copies encoded so far
  // Same or copy items that join each other wait to be encoded as one.
  uint32_t pending_kind_ = 0;
  int64_t pending_image_ = 0;
  int64_t pending_size_ = 0;

  bool active_ = false;
  bool kept_all_ = false;  // nothing more needs keeping
  bool last_write_ = false;
  bool had_no_place_ = false;
  bool marked_ = false;  // the target's mark names this journal
  bool short_of_memory_ = false;
  int64_t records_ = 0;
  int64_t original_size_ = 0;
  int64_t finished_size_ = 0;
  int64_t grown_to_ = 0;  // the file may be this long without a new record
  uint64_t seed_ = 0;
  platform::FileIdentity identity_;
  platform::MakeFailure why_none_ = platform::MakeFailure::kNone;
  std::string name_;
  platform::FileHandle target_ = platform::kNoFile;
  // The originals of a lone write that needed no record: a death cannot
  // cut it short, but a write can fail part-way (a full disk, a file-size
  // limit), and the run then puts them back.
  std::string lone_original_;
  int64_t lone_at_ = -1;
  JournalStore store_;
  std::vector<Extent> extents_;  // records the image may still ask for
  int64_t floor_ = 0;
  char* record_ = nullptr;   // one record being built or read, kRecordRoom
  char* current_ = nullptr;  // what the file holds, kPiece
};

}  // namespace qk
