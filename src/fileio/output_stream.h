// The one stream a run writes through: the target file in place, the -$
// output file, or a created file. It keeps its own position, so a relative
// seek costs no system call, and gathers contiguous small writes into one
// buffer that goes out as a single positioned write. Like a C stream it has
// a sticky error indicator, tested once after the scan.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace qk {

class OutputStream {
 public:
  OutputStream() = default;
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;
  ~OutputStream() { close(); }

  // Takes over an open file; `append` means every write goes to its end.
  void attach(platform::FileHandle file, bool append);

  // For an in-place edit of a file of `size` bytes: small writes inside it
  // go straight into a shared mapping of the file instead of costing a
  // system call each, which is what keeps a dense same-length edit cheap.
  // The mapping is a window that moves along with the writes, so it never
  // holds more than a few megabytes of the file.
  void map_existing(int64_t size);
  bool is_open() const { return file_ != platform::kNoFile; }
  platform::FileHandle handle() const { return file_; }

  void write(const char* data, int64_t size);
  void put(char byte);

  // Moves the position; false (and no move) when it would leave the range
  // a file offset can hold.
  bool seek_relative(int64_t distance);
  void seek_start();
  void seek_end();
  int64_t position() const { return position_; }

  bool error() const { return error_; }
  // Writes out what is buffered; a failure sets the error indicator.
  void flush();
  // Flushes and closes; false when either failed.
  bool close();

  // Bytes that reached the file through this stream, for tests and reports.
  int64_t physical_bytes() const { return physical_bytes_; }

 private:
  static constexpr int64_t kBufferSize = 1 << 16;
  // Writes up to this size go into the mapping; longer ones are cheaper as
  // one positioned write, which takes no page faults.
  static constexpr int64_t kMappedWriteMax = 4096;
  static constexpr int64_t kMapThreshold = 1 << 20;
  static constexpr int64_t kWindowSize = 8 << 20;

  void unmap();
  // Points the window at the one holding [at, at + size); false if none.
  bool window_for(int64_t at, int64_t size);

  platform::FileHandle file_ = platform::kNoFile;
  bool append_ = false;
  bool error_ = false;
  int64_t position_ = 0;
  int64_t buffer_offset_ = 0;  // file offset of buffer_[0]
  std::vector<char> buffer_;
  int64_t physical_bytes_ = 0;
  int64_t last_end_ = 0;  // where the previous write ended
  int64_t mappable_ = 0;  // bytes of the file that may be mapped
  char* map_ = nullptr;   // the current window
  int64_t map_offset_ = 0;
  int64_t map_size_ = 0;
};

}  // namespace qk
