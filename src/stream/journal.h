// The restore journal of an in-place run. Before the stream overwrites a
// range of the target, the bytes there that are about to change are kept,
// compactly: a run that keeps the file's length keeps only what its edits
// change, a few bytes per match, never a copy of the file. Played back
// newest first, the journal puts the file's original content back after a
// write fault or a failed cut.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace qk {

class RestoreJournal {
 public:
  RestoreJournal() = default;
  RestoreJournal(const RestoreJournal&) = delete;
  RestoreJournal& operator=(const RestoreJournal&) = delete;
  ~RestoreJournal();

  // Starts keeping the originals of a file that is `original_size` bytes
  // long; bytes written past that size need no keeping, the cut takes them.
  void start(int64_t original_size);
  bool active() const { return active_; }
  int64_t original_size() const { return original_size_; }

  // Keeps the bytes that `data` is about to change at [offset, offset +
  // size). What the file holds there is `originals`, or, when that is
  // nullptr, read from the file. Only the stretches listed in `changing`
  // (begin and end pairs, from `data`) may differ from it; nullptr: any.
  // False when the originals could not be read or kept; the write must
  // then not happen.
  bool keep(platform::FileHandle file, const char* data, int64_t size, int64_t offset,
            const char* originals = nullptr, const std::vector<int64_t>* changing = nullptr);

  // Keeps what the file holds from `offset` to its original end, before a
  // cut takes it away.
  bool keep_rest(platform::FileHandle file, int64_t offset);

  // Writes every kept byte back, newest first, and sets the original length.
  bool play_back(platform::FileHandle file) const;

  // Bytes the journal holds, for tests and the benchmarks.
  int64_t size() const { return used_; }

 private:
  static constexpr int64_t kBlock = 4 << 20;

  bool append(const void* data, int64_t size);
  static int encode_number(uint64_t value, unsigned char* to);
  bool append_entry(int64_t gap, const char* bytes, int64_t size);
  void read(int64_t at, void* data, int64_t size) const;
  uint64_t read_number(int64_t* at) const;

  bool active_ = false;
  int64_t original_size_ = 0;
  std::vector<char*> blocks_;
  int64_t used_ = 0;
  std::vector<char> scratch_;  // what the file held, reused for every write
};

}  // namespace qk
