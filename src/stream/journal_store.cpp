// The journal's store; see journal_store.h.
#include "stream/journal_store.h"

namespace qk {

JournalStore::~JournalStore() {
  close();
}

void JournalStore::use_file(platform::FileHandle file, int64_t size) {
  close();
  file_ = file;
  used_ = size;
  peak_ = 0;
}

bool JournalStore::append(const void* data, int64_t size) {
  if (!on_file() || !platform::write_at(file_, static_cast<const char*>(data), size, used_))
    return false;
  used_ += size;
  return true;
}

bool JournalStore::read(int64_t at, void* into, int64_t size) const {
  if (!on_file() || at < 0 || size < 0 || at > used_ || size > used_ - at) return false;
  return platform::read_at(file_, static_cast<char*>(into), size, at);
}

bool JournalStore::write_past(int64_t at, const void* data, int64_t size) {
  if (!on_file() || at < used_ ||
      !platform::write_at(file_, static_cast<const char*>(data), size, at))
    return false;
  if (at + size > peak_) peak_ = at + size;
  return true;
}

bool JournalStore::read_past(int64_t at, void* into, int64_t size) const {
  return on_file() && at >= used_ && size >= 0 &&
         platform::read_at(file_, static_cast<char*>(into), size, at);
}

bool JournalStore::close() {
  const bool ok = platform::close_file(file_);
  file_ = platform::kNoFile;
  used_ = 0;
  peak_ = 0;
  return ok;
}

}  // namespace qk
