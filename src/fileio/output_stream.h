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

  platform::FileHandle file_ = platform::kNoFile;
  bool append_ = false;
  bool error_ = false;
  int64_t position_ = 0;
  int64_t buffer_offset_ = 0;  // file offset of buffer_[0]
  std::vector<char> buffer_;
  int64_t physical_bytes_ = 0;
};

}  // namespace qk
