// The journal's store; see journal_store.h. In memory it is a list of
// large blocks that never move, so a journal as large as the file costs no
// copying as it grows.
#include "stream/journal_store.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace qk {

JournalStore::~JournalStore() {
  close();
}

void JournalStore::use_file(platform::FileHandle file, int64_t size) {
  close();
  file_ = file;
  used_ = size;
}

bool JournalStore::append(const void* data, int64_t size) {
  if (on_file()) {
    if (!platform::write_at(file_, static_cast<const char*>(data), size, used_)) return false;
    used_ += size;
    return true;
  }
  const int64_t needed = (used_ + size + kBlock - 1) / kBlock;
  try {
    while (static_cast<int64_t>(blocks_.size()) < needed) {
      char* block = platform::allocate_block(static_cast<size_t>(kBlock));
      if (!block) {
        short_of_memory_ = true;
        return false;
      }
      blocks_.push_back(block);
    }
  } catch (const std::bad_alloc&) {
    short_of_memory_ = true;
    return false;
  }
  const char* from = static_cast<const char*>(data);
  for (int64_t at = used_; at < used_ + size;) {
    const int64_t in_block = at % kBlock;
    const int64_t n = std::min(kBlock - in_block, used_ + size - at);
    std::memcpy(blocks_[static_cast<size_t>(at / kBlock)] + in_block, from, static_cast<size_t>(n));
    from += n;
    at += n;
  }
  used_ += size;
  return true;
}

bool JournalStore::read(int64_t at, void* into, int64_t size) const {
  if (at < 0 || size < 0 || at + size > used_) return false;
  if (on_file()) return platform::read_at(file_, static_cast<char*>(into), size, at);
  char* to = static_cast<char*>(into);
  while (size > 0) {
    const int64_t in_block = at % kBlock;
    const int64_t n = std::min(kBlock - in_block, size);
    std::memcpy(to, blocks_[static_cast<size_t>(at / kBlock)] + in_block, static_cast<size_t>(n));
    to += n;
    size -= n;
    at += n;
  }
  return true;
}

bool JournalStore::close() {
  bool ok = platform::close_file(file_);
  file_ = platform::kNoFile;
  for (char* block : blocks_)
    platform::free_block(block, static_cast<size_t>(kBlock));
  blocks_.clear();
  used_ = 0;
  return ok;
}

}  // namespace qk
