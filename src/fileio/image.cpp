// The streamed file image; see image.h. The window is a block of reserved
// address space with memory only where a chunk is, chunk k at place
// k - (the window's first chunk). When a request reaches past it, the
// window moves on: a new block is reserved, the chunks that stay are moved
// into it by remapping their memory (no copy, no fresh pages), as is the
// memory of those that do not, for the chunks to come, and the old block is
// given back. So the address space a run takes is a few chunks, whatever
// the size of the file, and a chunk is read with one positioned read into
// memory that an earlier chunk used: a run touches only a few megabytes of
// fresh pages however big the file.
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
#include <cstring>

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
// The window's width: the chunks in memory take a few places of it, so it
// moves only every dozen chunks or so (each move remaps the few chunks in
// it), and it costs 32 MiB of address space (twice that while it moves).
// A request wider than that widens it.
constexpr int64_t kWindowChunks = 16;
constexpr uint8_t kOut = 0;
constexpr uint8_t kIn = 1;

int64_t window_chunk(const FileImage& image) {
  return image.window_offset / image.chunk_size;
}

char* place_address(const FileImage& image, int64_t place) {
  return image.buffer + place * image.chunk_size;
}

char* chunk_address(const FileImage& image, int64_t k) {
  return place_address(image, k - window_chunk(image));
}

int64_t chunk_count(const FileImage& image) {
  return static_cast<int64_t>(image.chunks.size());
}

// The offset of the first byte a reader may still ask for.
int64_t first_needed(const Run& run) {
  const int64_t offset = run.writer.cursor - 1;
  return offset > 0 ? offset : 0;
}

void fail(Run& run, int32_t code) {
  if (run.image.failure == 0) run.image.failure = code;
  run.writer.out.fail();
}

// Gives chunk k's place memory: memory already there, that of `spare` (a
// chunk let go just now, or -1), or that of a free place; fresh memory
// only when the window has none to spare.
bool give_memory(FileImage& image, int64_t k, int64_t spare) {
  char* at = chunk_address(image, k);
  const auto size = static_cast<size_t>(image.chunk_size);
  const int64_t place = k - window_chunk(image);
  std::vector<int64_t>& free = image.free_memory;
  const auto own = std::find(free.begin(), free.end(), place);
  if (own != free.end()) {
    *own = free.back();
    free.pop_back();
    if (spare >= 0) free.push_back(spare - window_chunk(image));
    return true;
  }
  int64_t from = spare >= 0 ? spare - window_chunk(image) : -1;
  if (from < 0 && !free.empty()) {
    from = free.back();
    free.pop_back();
  }
  if (from >= 0) {
    if (platform::move_space(place_address(image, from), at, size)) return true;
    platform::decommit_space(place_address(image, from), size);
  }
  const int64_t length = std::min(image.chunk_size, image.size() - k * image.chunk_size);
  return platform::commit_space(at, size, length == image.chunk_size);
}

// Reads chunk k, which has a place in the window, into memory, reusing the
// memory of `spare` (a chunk let go just now, or -1).
bool load(Run& run, int64_t k, int64_t spare) {
  FileImage& image = run.image;
  if (!give_memory(image, k, spare)) {
    fail(run, -3);
    return false;
  }
  char* at = chunk_address(image, k);
  const int64_t offset = k * image.chunk_size;
  const int64_t length = std::min(image.chunk_size, image.size() - offset);
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
  const int64_t bottom = k * image.chunk_size;
  const int64_t top = bottom + image.chunk_size;
  if (top > image.ready_begin && bottom < image.ready_end) {
    if (top <= image.asked_begin) {
      image.ready_begin = top;
    } else {
      image.ready_end = bottom;
    }
  }
  return k;
}

// Moves a chunk's memory to its place in a new window; where the system
// cannot remap memory, the chunk is copied there.
bool move_chunk(char* from, char* to, size_t size) {
  if (platform::move_space(from, to, size)) return true;
  if (!platform::commit_space(to, size)) return false;
  std::memcpy(to, from, size);
  return true;
}

// Gives chunks [first, last] places in the window, moving it on (and
// widening it for a wider request) when they have none. The window then
// starts at the cursor's chunk where it can, since readers come back to
// the bytes there. False, with the image failed, when no address space
// was left.
bool place_chunks(Run& run, int64_t first, int64_t last) {
  FileImage& image = run.image;
  const int64_t old_first = window_chunk(image);
  if (first >= old_first && last < old_first + image.window_chunks) return true;
  const int64_t keep = first_needed(run) / image.chunk_size;
  int64_t base = keep;
  int64_t width = image.window_chunks;
  if (keep > first || last - keep >= width) {
    base = first;
    width = std::min(chunk_count(image), std::max(width, last - first + 1 + kSpareChunks));
  }
  base = std::max<int64_t>(0, std::min(base, chunk_count(image) - width));
  const auto size = static_cast<size_t>(image.chunk_size);
  const auto bytes = static_cast<size_t>(width) * size;
  char* space = platform::reserve_space(bytes);
  if (!space) {
    fail(run, -3);
    return false;
  }
  // Memory that holds no chunk from now on: that of the free places and of
  // the chunks that fall out of the window.
  std::vector<char*> loose;
  for (const int64_t place : image.free_memory)
    loose.push_back(place_address(image, place));
  image.free_memory.clear();
  size_t kept = 0;
  for (const int64_t k : image.in_memory) {
    char* from = chunk_address(image, k);
    if (k >= base && k < base + width &&
        move_chunk(from, space + (k - base) * image.chunk_size, size)) {
      image.in_memory[kept++] = k;
      continue;
    }
    image.chunks[static_cast<size_t>(k)] = kOut;
    loose.push_back(from);
  }
  image.in_memory.resize(kept);
  // The loose memory goes to the free places furthest on, where the next
  // chunks will be read.
  for (int64_t place = width - 1; place >= 0 && !loose.empty(); --place) {
    if (image.chunks[static_cast<size_t>(base + place)] == kIn) continue;
    if (platform::move_space(loose.back(), space + place * image.chunk_size, size))
      image.free_memory.push_back(place);
    loose.pop_back();
  }
  platform::free_space(image.buffer, image.allocated);
  image.buffer = space;
  image.allocated = bytes;
  image.window = space;
  image.window_offset = base * image.chunk_size;
  image.window_chunks = width;
  image.ready_begin = image.ready_end = 0;
  return true;
}

}  // namespace

bool open_streamed_image(Run& run, platform::FileHandle source, int64_t size) {
  FileImage& image = run.image;
  const int64_t chunk = image.chunk_size;
  const int64_t count = (size + chunk - 1) / chunk;
  const int64_t width = std::min(count, kWindowChunks);
  const auto reserved = static_cast<size_t>(width * chunk);
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
  image.length = size;
  image.window = space;
  image.window_offset = 0;
  image.window_chunks = width;
  image.source = source;
  image.chunks.assign(static_cast<size_t>(count), kOut);
  image.ready_begin = image.ready_end = 0;
  run.writer.cursor = 0;
  if (!need_bytes(run, 0, 1)) {
    run.error_code = image.failure;
    return false;
  }
  return true;
}

void use_memory_image(FileImage& image, const char* data, int64_t size) {
  image.window = data;
  image.window_offset = 0;
  image.length = size;
  image.ready_begin = 0;
  image.ready_end = size;
}

bool hold_whole_image(Run& run) {
  FileImage& image = run.image;
  if (image.source == platform::kNoFile) return true;
  if (!place_chunks(run, 0, chunk_count(image) - 1)) {
    run.error_code = image.failure;
    return false;
  }
  for (int64_t k = 0; k < chunk_count(image); ++k) {
    if (image.chunks[static_cast<size_t>(k)] == kOut && !load(run, k, -1)) {
      run.error_code = image.failure;
      return false;
    }
  }
  // Nothing is read from the file any more: the image is all in memory.
  platform::close_file(image.source);
  image.source = platform::kNoFile;
  image.ready_begin = 0;
  image.ready_end = image.size();
  return true;
}

bool need_bytes(Run& run, int64_t from, int64_t to) {
  FileImage& image = run.image;
  if (image.source == platform::kNoFile) return true;
  if (image.failure) return false;
  if (from < 0) from = 0;
  if (to > image.size()) to = image.size();
  if (from >= to) return true;
  const int64_t first = from / image.chunk_size;
  const int64_t last = (to - 1) / image.chunk_size;
  if (!place_chunks(run, first, last)) return false;
  image.asked_begin = first * image.chunk_size;
  image.asked_end = (last + 1) * image.chunk_size;
  for (int64_t k = first; k <= last; ++k) {
    if (image.chunks[static_cast<size_t>(k)] != kOut) continue;
    if (!load(run, k, let_go(run, first, last))) return false;
  }
  // The run of chunks in memory around the request, for the quick test.
  // Every chunk in memory has a place in the window, so the run never
  // leaves it.
  int64_t low = first;
  while (low > 0 && image.chunks[static_cast<size_t>(low - 1)] != kOut)
    --low;
  int64_t high = last;
  while (high + 1 < chunk_count(image) && image.chunks[static_cast<size_t>(high + 1)] != kOut)
    ++high;
  image.ready_begin = low * image.chunk_size;
  image.ready_end = std::min((high + 1) * image.chunk_size, image.size());
  return true;
}

int64_t need_from(Run& run, int64_t at, int64_t limit) {
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
    if (held) *originals = image.at(from);
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
  image.free_memory.clear();
  image.ready_begin = image.ready_end = 0;
}

}  // namespace qk
