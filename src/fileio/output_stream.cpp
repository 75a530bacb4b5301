// Buffered positioned writing for the output stream; see output_stream.h.
#include "fileio/output_stream.h"

#include <cstring>
#include <limits>

namespace qk {

void OutputStream::attach(platform::FileHandle file, bool append) {
  close();
  mappable_ = 0;
  file_ = file;
  append_ = append;
  error_ = false;
  position_ = 0;
  last_end_ = 0;
  buffer_offset_ = 0;
  buffer_.clear();
  buffer_.reserve(kBufferSize);
  physical_bytes_ = 0;
}

void OutputStream::map_existing(int64_t size) {
  unmap();
  mappable_ = 0;
  if (is_open() && !append_ && size >= kMapThreshold && platform::fully_allocated(file_))
    mappable_ = size;
}

void OutputStream::unmap() {
  platform::unmap_file(map_, map_size_);
  map_ = nullptr;
  map_offset_ = map_size_ = 0;
}

bool OutputStream::window_for(int64_t at, int64_t size) {
  if (at + size > mappable_) return false;
  if (map_ && at >= map_offset_ && at + size <= map_offset_ + map_size_) return true;
  unmap();
  int64_t offset = at - at % platform::kMapAlignment;
  int64_t length = kWindowSize;
  if (offset + length > mappable_) length = mappable_ - offset;
  if (at + size > offset + length) return false;
  map_ = platform::map_for_update(file_, offset, length);
  if (!map_) {
    mappable_ = 0;  // mapping failed once: plain writes from now on
    return false;
  }
  map_offset_ = offset;
  map_size_ = length;
  return true;
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
  // A small write after a seek goes into the mapping; writes that follow
  // each other are gathered in the buffer instead.
  if (mappable_ && position_ != last_end_ && size <= kMappedWriteMax &&
      buffer_offset_ + static_cast<int64_t>(buffer_.size()) <= position_ &&
      window_for(position_, size)) {
    std::memcpy(map_ + (position_ - map_offset_), data, static_cast<size_t>(size));
    physical_bytes_ += size;
    position_ += size;
    last_end_ = position_;
    return;
  }
  last_end_ = position_ + size;
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
  unmap();
  if (!platform::close_file(file_)) error_ = true;
  file_ = platform::kNoFile;
  return !error_;
}

}  // namespace qk
