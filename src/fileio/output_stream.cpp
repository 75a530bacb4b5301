// Buffered positioned writing for the output stream; see output_stream.h.
#include "fileio/output_stream.h"

#include <cstring>
#include <limits>

namespace qk {

void OutputStream::attach(platform::FileHandle file, bool append) {
  close();
  file_ = file;
  append_ = append;
  error_ = false;
  position_ = 0;
  buffer_offset_ = 0;
  buffer_.clear();
  buffer_.reserve(kBufferSize);
  physical_bytes_ = 0;
}

void OutputStream::flush() {
  if (buffer_.empty()) return;
  int64_t size = static_cast<int64_t>(buffer_.size());
  bool ok = append_ ? platform::write_appending(file_, buffer_.data(), size)
                    : platform::write_at(file_, buffer_.data(), size, buffer_offset_);
  if (ok) {
    physical_bytes_ += size;
  } else {
    error_ = true;
  }
  buffer_.clear();
}

void OutputStream::write(const char* data, int64_t size) {
  if (size <= 0) return;
  if (!is_open()) {
    error_ = true;
    return;
  }
  bool contiguous = buffer_offset_ + static_cast<int64_t>(buffer_.size()) == position_;
  if (!buffer_.empty() && !contiguous) flush();
  if (buffer_.empty()) buffer_offset_ = position_;
  if (static_cast<int64_t>(buffer_.size()) + size > kBufferSize) {
    flush();
    if (size >= kBufferSize) {
      // A long span goes out in one call, never through the buffer.
      bool ok = append_ ? platform::write_appending(file_, data, size)
                        : platform::write_at(file_, data, size, position_);
      if (ok) {
        physical_bytes_ += size;
      } else {
        error_ = true;
      }
      position_ += size;
      return;
    }
    buffer_offset_ = position_;
  }
  buffer_.insert(buffer_.end(), data, data + size);
  position_ += size;
}

void OutputStream::put(char byte) {
  write(&byte, 1);
}

bool OutputStream::seek_relative(int64_t distance) {
  if (distance > std::numeric_limits<int64_t>::max() - position_ || position_ + distance < 0)
    return false;
  position_ += distance;
  return true;
}

void OutputStream::seek_start() {
  position_ = 0;
}

void OutputStream::seek_end() {
  flush();
  int64_t size = is_open() ? platform::file_size(file_) : -1;
  if (size >= 0) position_ = size;
}

bool OutputStream::close() {
  if (!is_open()) return !error_;
  flush();
  if (!platform::close_file(file_)) error_ = true;
  file_ = platform::kNoFile;
  return !error_;
}

}  // namespace qk
