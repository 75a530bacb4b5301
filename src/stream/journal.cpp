// The restore journal; see journal.h. Each kept write is one record:
//   entries: (gap from the previous entry's end, length, original bytes)...
//   footer:  file offset of the write, byte length of the entries
// The footer comes last so that play back can walk the records from the
// newest to the oldest. Storage is a list of large blocks, never moved, so
// a journal as large as the file (a shrinking edit changes nearly every
// byte behind it) costs no copying as it grows.
#include "stream/journal.h"

#include <algorithm>
#include <cstring>

namespace qk {

namespace {

inline uint64_t word_at(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// The first i' >= i where the two differ, or size: 256 bytes at a time
// with the library's vector compare, then eight, then one.
int64_t first_difference(const char* a, const char* b, int64_t i, int64_t size) {
  while (i + 256 <= size && std::memcmp(a + i, b + i, 256) == 0)
    i += 256;
  while (i + 8 <= size && word_at(a + i) == word_at(b + i))
    i += 8;
  while (i < size && a[i] == b[i])
    ++i;
  return i;
}

// Where a changed stretch starting at i ends: at the next eight equal bytes
// (fewer do not pay for a new entry), or at size.
int64_t end_of_difference(const char* a, const char* b, int64_t i, int64_t size) {
  ++i;
  while (i + 8 <= size && word_at(a + i) != word_at(b + i))
    i += 8;
  if (i + 8 > size) i = size;
  // Equal bytes at the end of the last word that differed are not kept.
  while (a[i - 1] == b[i - 1])
    --i;
  return i;
}

struct Footer {
  int64_t offset;
  int64_t entries;
};

}  // namespace

RestoreJournal::~RestoreJournal() {
  for (char* block : blocks_)
    platform::free_block(block, static_cast<size_t>(kBlock));
}

void RestoreJournal::start(int64_t original_size) {
  active_ = true;
  original_size_ = original_size;
}

bool RestoreJournal::append(const void* data, int64_t size) {
  const char* from = static_cast<const char*>(data);
  while (size > 0) {
    const int64_t in_block = used_ % kBlock;
    if (in_block == 0 && used_ / kBlock == static_cast<int64_t>(blocks_.size())) {
      char* block = platform::allocate_block(static_cast<size_t>(kBlock));
      if (!block) return false;
      blocks_.push_back(block);
    }
    const int64_t room = kBlock - in_block;
    const int64_t n = size < room ? size : room;
    std::memcpy(blocks_[static_cast<size_t>(used_ / kBlock)] + in_block, from,
                static_cast<size_t>(n));
    from += n;
    size -= n;
    used_ += n;
  }
  return true;
}

int RestoreJournal::encode_number(uint64_t value, unsigned char* to) {
  int n = 0;
  do {
    to[n] = static_cast<unsigned char>(value & 0x7f);
    value >>= 7;
    if (value) to[n] |= 0x80;
    ++n;
  } while (value);
  return n;
}

bool RestoreJournal::append_entry(int64_t gap, const char* bytes, int64_t size) {
  // A short entry is put together first and appended in one piece.
  unsigned char entry[20 + 64];
  int n = encode_number(static_cast<uint64_t>(gap), entry);
  n += encode_number(static_cast<uint64_t>(size), entry + n);
  if (size > 64) return append(entry, n) && append(bytes, size);
  std::memcpy(entry + n, bytes, static_cast<size_t>(size));
  return append(entry, n + size);
}

void RestoreJournal::read(int64_t at, void* data, int64_t size) const {
  char* to = static_cast<char*>(data);
  while (size > 0) {
    const int64_t in_block = at % kBlock;
    const int64_t room = kBlock - in_block;
    const int64_t n = size < room ? size : room;
    std::memcpy(to, blocks_[static_cast<size_t>(at / kBlock)] + in_block, static_cast<size_t>(n));
    to += n;
    size -= n;
    at += n;
  }
}

uint64_t RestoreJournal::read_number(int64_t* at) const {
  uint64_t value = 0;
  for (int shift = 0;; shift += 7) {
    unsigned char byte;
    read(*at, &byte, 1);
    ++*at;
    value |= static_cast<uint64_t>(byte & 0x7f) << shift;
    if (!(byte & 0x80)) return value;
  }
}

bool RestoreJournal::keep(platform::FileHandle file, const char* data, int64_t size, int64_t offset,
                          const char* originals, const std::vector<int64_t>* changing) {
  if (!active_ || offset >= original_size_ || size <= 0) return true;
  if (offset + size > original_size_) size = original_size_ - offset;
  const char* old = originals;
  if (!old) {
    scratch_.resize(static_cast<size_t>(size));
    if (!platform::read_at(file, scratch_.data(), size, offset)) return false;
    old = scratch_.data();
  }
  const int64_t record = used_;
  int64_t previous_end = 0;
  const std::vector<int64_t> all = {0, size};
  const std::vector<int64_t>& stretches = changing ? *changing : all;
  for (size_t s = 0; s + 1 < stretches.size(); s += 2) {
    int64_t i = std::max(stretches[s], previous_end);
    const int64_t stop = std::min(stretches[s + 1], size);
    while (i < stop) {
      i = first_difference(old, data, i, stop);
      if (i == stop) break;
      const int64_t end = end_of_difference(old, data, i, stop);
      if (!append_entry(i - previous_end, old + i, end - i)) return false;
      previous_end = end;
      i = end;
    }
  }
  if (used_ == record) return true;  // nothing changes here
  const Footer footer = {offset, used_ - record};
  return append(&footer, sizeof footer);
}

bool RestoreJournal::keep_rest(platform::FileHandle file, int64_t offset) {
  if (!active_ || offset >= original_size_) return true;
  const int64_t size = original_size_ - offset;
  scratch_.resize(static_cast<size_t>(size));
  if (!platform::read_at(file, scratch_.data(), size, offset)) return false;
  const int64_t record = used_;
  if (!append_entry(0, scratch_.data(), size)) return false;
  const Footer footer = {offset, used_ - record};
  return append(&footer, sizeof footer);
}

bool RestoreJournal::play_back(platform::FileHandle file) const {
  bool ok = true;
  std::vector<char> bytes;
  for (int64_t end = used_; end > 0;) {
    Footer footer;
    read(end - static_cast<int64_t>(sizeof footer), &footer, sizeof footer);
    const int64_t record = end - static_cast<int64_t>(sizeof footer) - footer.entries;
    int64_t at = record;
    int64_t position = footer.offset;
    while (at < record + footer.entries) {
      position += static_cast<int64_t>(read_number(&at));
      const auto length = static_cast<int64_t>(read_number(&at));
      bytes.resize(static_cast<size_t>(length));
      read(at, bytes.data(), length);
      at += length;
      ok = platform::write_at(file, bytes.data(), length, position) && ok;
      position += length;
    }
    end = record;
  }
  return platform::set_length(file, original_size_) && ok;
}

}  // namespace qk
