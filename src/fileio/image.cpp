// The streamed file image; see image.h. Address space for the whole file
// is reserved at once, so pointers into the image stay valid. A chunk is
// read with one positioned read into memory that an earlier chunk used, so
// a run touches only a few megabytes of fresh pages however big the file.
//
// A chunk in memory always holds the file's original bytes: it is read
// from the file, and where this run has already written the file in place
// (a growing edit writes ahead of the scan) the restore journal gives the
// originals. So any chunk may be let go and read again later, and the
// image holds only the chunks being read, those at the cursor and a few
// spare ones, whatever the edit. Every reader stays at or after the byte
// just before the image cursor (the cursor only moves forward; -#:J and
// -#:L look ahead of it), so the journal may forget what lies before.
#include "fileio/image.h"

#include <algorithm>

namespace qk {

namespace {

// Chunks kept in memory besides those being asked for and those at the
// cursor: enough for the matcher to look ahead while the writer is
// behind, and for a write just behind the cursor to find its originals
// here rather than read them from the file. (Four were slower: more
// memory to move along the file, for reads saved only while an edit
// shrinks the file by megabytes.)
constexpr int kSpareChunks = 2;
// How far past the cursor the writer may read while it asks for bytes
// further on: the block of unchanged bytes it may write along with an
// edit.
constexpr int64_t kCursorReach = 4096;
constexpr uint8_t kOut = 0;
constexpr uint8_t kIn = 1;

char* chunk_address(const FileImage& image, int64_t k) {
  return image.buffer + k * image.chunk_size;
}

int64_t chunk_of(const FileImage& image, const char* at) {
  return (at - image.buffer) / image.chunk_size;
}

// The offset of the first byte a reader may still ask for.
int64_t first_needed(const Run& run) {
  const int64_t offset = run.writer.cursor - run.image.start - 1;
  return offset > 0 ? offset : 0;
}

void fail(Run& run, int32_t code) {
  if (run.image.failure == 0) run.image.failure = code;
  run.writer.out.fail();
}

// Reads chunk k into memory, reusing the memory of `spare` (a chunk let go
// just now, or -1).
bool load(Run& run, int64_t k, int64_t spare) {
  FileImage& image = run.image;
  char* at = chunk_address(image, k);
  const auto size = static_cast<size_t>(image.chunk_size);
  bool have = false;
  if (spare >= 0) {
    have = platform::move_space(chunk_address(image, spare), at, size);
    if (!have) platform::decommit_space(chunk_address(image, spare), size);
  }
  const int64_t offset = k * image.chunk_size;
  const int64_t length = std::min(image.chunk_size, image.size() - offset);
  if (!have && !platform::commit_space(at, size, length == image.chunk_size)) {
    fail(run, -3);
    return false;
  }
  image.chunks[static_cast<size_t>(k)] = kIn;
  image.in_memory.push_back(k);
  RestoreJournal& journal = run.writer.out.journal();
  journal.forget_before(first_needed(run));
  if (!platform::read_at(image.source, at, length, offset) ||
      !journal.put_originals(at, offset, length)) {
    fail(run, -5);
    return false;
  }
  return true;
}

// Lets go of one chunk in memory outside [first, last], the lowest first,
// so that its memory can hold the next one; -1 when there is none to spare.
// The chunks at the cursor stay too: the writer passes over its first block
// while it asks for the block in front of the next match.
int64_t let_go(Run& run, int64_t first, int64_t last) {
  FileImage& image = run.image;
  const int64_t passed = first_needed(run) / image.chunk_size;
  const int64_t near =
      std::min(first_needed(run) + 1 + kCursorReach, image.size() - 1) / image.chunk_size;
  int spare = 0;
  size_t victim = image.in_memory.size();
  for (size_t i = 0; i < image.in_memory.size(); ++i) {
    const int64_t k = image.in_memory[i];
    if ((k >= first && k <= last) || (k >= passed && k <= near)) continue;
    ++spare;
    if (victim == image.in_memory.size() || k < image.in_memory[victim]) victim = i;
  }
  if (spare < kSpareChunks) return -1;
  const int64_t k = image.in_memory[victim];
  image.in_memory[victim] = image.in_memory.back();
  image.in_memory.pop_back();
  image.chunks[static_cast<size_t>(k)] = kOut;
  const char* bottom = chunk_address(image, k);
  const char* top = bottom + image.chunk_size;
  if (top > image.ready_begin && bottom < image.ready_end) {
    if (top <= image.asked_begin) {
      image.ready_begin = top;
    } else {
      image.ready_end = bottom;
    }
  }
  return k;
}

}  // namespace

bool open_streamed_image(Run& run, platform::FileHandle source, int64_t size) {
  FileImage& image = run.image;
  const int64_t chunk = image.chunk_size;
  const int64_t count = (size + chunk - 1) / chunk;
  const auto reserved = static_cast<size_t>(count * chunk);
  char* space = platform::reserve_space(reserved);
  if (!space) {
    platform::close_file(source);
    run.error_code = -3;
    return false;
  }
  image.buffer = space;
  image.allocated = reserved;
  image.reserved = true;
  image.created_offset = 0;
  image.start = space;
  image.end = space + size;
  image.source = source;
  image.chunks.assign(static_cast<size_t>(count), kOut);
  image.ready_begin = image.ready_end = nullptr;
  run.writer.cursor = image.start;
  if (!need_bytes(run, image.start, image.start + 1)) {
    run.error_code = image.failure;
    return false;
  }
  return true;
}

bool hold_whole_image(Run& run) {
  FileImage& image = run.image;
  if (image.source == platform::kNoFile) return true;
  for (int64_t k = 0; k < static_cast<int64_t>(image.chunks.size()); ++k) {
    if (image.chunks[static_cast<size_t>(k)] == kOut && !load(run, k, -1)) {
      run.error_code = image.failure;
      return false;
    }
  }
  // Nothing is read from the file any more: the image is all in memory.
  platform::close_file(image.source);
  image.source = platform::kNoFile;
  image.ready_begin = image.start;
  image.ready_end = image.end;
  return true;
}

bool need_bytes(Run& run, const char* from, const char* to) {
  FileImage& image = run.image;
  if (image.source == platform::kNoFile) return true;
  if (image.failure) return false;
  if (from < image.start) from = image.start;
  if (to > image.end) to = image.end;
  if (from >= to) return true;
  const int64_t first = chunk_of(image, from);
  const int64_t last = chunk_of(image, to - 1);
  image.asked_begin = chunk_address(image, first);
  image.asked_end = chunk_address(image, last + 1);
  for (int64_t k = first; k <= last; ++k) {
    if (image.chunks[static_cast<size_t>(k)] != kOut) continue;
    if (!load(run, k, let_go(run, first, last))) return false;
  }
  // The run of chunks in memory around the request, for the quick test.
  const auto count = static_cast<int64_t>(image.chunks.size());
  int64_t low = first;
  while (low > 0 && image.chunks[static_cast<size_t>(low - 1)] != kOut)
    --low;
  int64_t high = last;
  while (high + 1 < count && image.chunks[static_cast<size_t>(high + 1)] != kOut)
    ++high;
  image.ready_begin = std::max<const char*>(chunk_address(image, low), image.start);
  image.ready_end = std::min<const char*>(chunk_address(image, high + 1), image.end);
  return true;
}

const char* need_from(Run& run, const char* at, const char* limit) {
  if (at >= limit) return limit;
  if (!need(run, at, at + 1)) return at;
  const FileImage& image = run.image;
  if (image.source == platform::kNoFile) return limit;
  return std::min(image.ready_end, limit);
}

bool hand_originals(void* context, int64_t from, int64_t to, const char** originals) {
  FileImage& image = static_cast<Run*>(context)->image;
  *originals = nullptr;
  if (image.source == platform::kNoFile) return true;
  const int64_t end = std::min(to, image.size());
  // Bytes never written before hold their originals in the file as in
  // the chunks.
  if (from >= image.written_end && from < end) {
    bool held = true;
    for (int64_t k = from / image.chunk_size; held && k <= (end - 1) / image.chunk_size; ++k)
      held = image.chunks[static_cast<size_t>(k)] != kOut;
    if (held) *originals = image.start + from;
  }
  image.written_end = std::max(image.written_end, to);
  return true;
}

void free_image_memory(FileImage& image) {
  if (image.source != platform::kNoFile) {
    platform::close_file(image.source);
    image.source = platform::kNoFile;
  }
  image.chunks.clear();
  image.in_memory.clear();
  image.ready_begin = image.ready_end = nullptr;
}

}  // namespace qk
