// Where a restore journal's bytes are kept: its file. Bytes are only ever
// appended, an append lands whole or not at all as far as a reader after
// a death can tell (a record cut short fails its checksum), and any of
// them can be read back.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "stream/journal_format.h"

namespace qk {

class JournalStore {
 public:
  JournalStore() = default;
  JournalStore(const JournalStore&) = delete;
  JournalStore& operator=(const JournalStore&) = delete;
  ~JournalStore();

  // Takes over an open journal file that holds `size` bytes already.
  void use_file(platform::FileHandle file, int64_t size);
  bool on_file() const { return file_ != platform::kNoFile; }
  platform::FileHandle file() const { return file_; }

  // False, and nothing counted, when not all of it could be kept; a
  // later append goes where this one began.
  bool append(const void* data, int64_t size);
  bool read(int64_t at, void* into, int64_t size) const;
  int64_t size() const { return used_; }
  // The most bytes the file has held, those past the appended ones too.
  int64_t peak() const { return used_ > peak_ ? used_ : peak_; }
  // Counts only the first `size` bytes as appended: those after them are
  // where a map's progress is kept.
  void end_at(int64_t size) {
    if (size >= 0 && size <= used_) used_ = size;
  }
  // Writes and reads past the appended bytes, where a map keeps the
  // progress of carrying it out.
  bool write_past(int64_t at, const void* data, int64_t size);
  bool read_past(int64_t at, void* into, int64_t size) const;

  // Closes the file (false when that failed).
  bool close();

 private:
  platform::FileHandle file_ = platform::kNoFile;
  int64_t used_ = 0;
  int64_t peak_ = 0;
};

// Reads the records that end at or before `end`, newest first, each into
// `head` and `body` (room for `body_room` bytes), and calls f(head, body)
// for it; false when a record could not be read or f said so.
template <typename F>
bool walk_newest_first(const JournalStore& store, int64_t end, char* body, int64_t body_room, F f) {
  const auto first = static_cast<int64_t>(sizeof(journal::Head));
  while (end > first) {
    int64_t length = 0;
    journal::RecordHead head;
    const auto head_size = static_cast<int64_t>(sizeof head);
    if (!store.read(end - journal::kTrailer, &length, sizeof length) ||
        length < head_size + journal::kTrailer || length > end - first ||
        !store.read(end - length, &head, sizeof head) ||
        head.body != length - head_size - journal::kTrailer || head.body > body_room ||
        !store.read(end - length + head_size, body, head.body) || !f(head, body))
      return false;
    end -= length;
  }
  return true;
}

}  // namespace qk
