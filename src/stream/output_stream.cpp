// Buffered positioned writing for the output stream; see output_stream.h.
#include "stream/output_stream.h"

#include <cstring>
#include <limits>

namespace qk {

void OutputStream::attach(platform::FileHandle file, bool append, bool read_only) {
  close();
  file_ = file;
  append_ = append;
  read_only_ = read_only;
  error_ = false;
  position_ = 0;
  buffer_offset_ = 0;
  buffered_ = 0;
  segment_begin_ = 0;
  segments_.clear();
  if (!buffer_) buffer_.reset(new char[static_cast<size_t>(kBufferRoom)]);
  committed_ = 0;
  physical_bytes_ = 0;
}

void OutputStream::put_out(const char* data, int64_t size, int64_t offset,
                           const std::vector<int64_t>* written) {
  if (read_only_) error_ = true;
  if (error_) return;
  bool ok;
  if (append_) {
    ok = platform::write_appending(file_, data, size);
  } else {
    // The originals are kept, and the image told, before anything changes.
    const char* originals = nullptr;
    ok = (!hook_ || hook_(hook_context_, offset, offset + size, &originals)) &&
         journal_.keep(file_, data, size, offset, originals, written) &&
         platform::write_at(file_, data, size, offset);
  }
  if (ok) {
    physical_bytes_ += size;
  } else {
    error_ = true;
  }
}

void OutputStream::put_out_together() {
  if (read_only_) error_ = true;
  if (error_) return;
  parts_.clear();
  for (const Segment& s : segments_) {
    const char* originals = nullptr;
    if (hook_ && !hook_(hook_context_, s.offset, s.file_end(), &originals)) {
      error_ = true;
      return;
    }
    parts_.push_back({buffer_.get() + s.begin, s.end - s.begin, s.offset, originals, s.begin});
  }
  if (!journal_.keep_together(file_, parts_.data(), parts_.size(), &written_)) {
    error_ = true;
    return;
  }
  for (const RestoreJournal::Part& part : parts_) {
    if (!platform::write_at(file_, part.data, part.size, part.offset)) {
      error_ = true;
      return;
    }
    physical_bytes_ += part.size;
  }
}

void OutputStream::end_segment(int64_t next, bool passing) {
  drop_tentative();
  const Segment gathered = {buffer_offset_, segment_begin_, buffered_};
  const bool gathering = gathered.end > gathered.begin;
  if (!gathering && segments_.empty()) return;  // nothing waits
  const Segment& first = segments_.empty() ? gathered : segments_.front();
  const Segment& last = gathering ? gathered : segments_.back();
  // What waits must lie in rising order, apart from each other. Passing
  // over bytes far away writes nothing, so what waits may go on waiting:
  // the next write far away sends it out, and if none comes it goes out as
  // the run's last write (a lone change then needs no journal record).
  const bool far = next - first.offset >= RestoreJournal::kTogetherSpan;
  if (append_ || next <= last.file_end() || (far && !passing)) {
    flush();
  } else if (gathering) {
    segments_.push_back(gathered);
    segment_begin_ = buffered_;
  }
}

void OutputStream::flush() {
  drop_tentative();
  if (buffered_ > segment_begin_) segments_.push_back({buffer_offset_, segment_begin_, buffered_});
  if (segments_.size() == 1) {
    // The first segment starts the buffer, where `written_` counts from.
    const Segment& only = segments_.front();
    put_out(buffer_.get(), only.end, only.offset, &written_);
  } else if (segments_.size() > 1) {
    put_out_together();
  }
  segments_.clear();
  segment_begin_ = 0;
  buffered_ = 0;
  written_.clear();
  committed_ = 0;
}

void OutputStream::write(const char* data, int64_t size) {
  if (size > 0 && journal_.mapping()) {
    map(journal_.map_new(position_, data, size), size);
    return;
  }
  if (size <= 0 || join_gathered(data, size)) return;
  if (!is_open()) {
    error_ = true;
    return;
  }
  const int64_t gathered = buffered_ - segment_begin_;
  if (buffer_offset_ + gathered == position_ && (gathered > 0 || segments_.empty())) {
    committed_ = buffered_;  // the unchanged bytes in front of it go out too
  } else {
    end_segment(position_);
  }
  if (buffered_ == segment_begin_) buffer_offset_ = position_;
  if (committed_ + size > kBufferSize) {
    flush();
    buffer_offset_ = position_;
    if (size >= kBufferSize) {
      // A long span goes out in one call, never through the buffer.
      put_out(data, size, position_, nullptr);
      position_ += size;
      return;
    }
  }
  append_to_buffer(data, size);
  if (!written_.empty() && written_.back() == committed_) {
    written_.back() += size;
  } else {
    written_.push_back(committed_);
    written_.push_back(committed_ + size);
  }
  committed_ += size;
  position_ += size;
}

void OutputStream::put(char byte) {
  write(&byte, 1);
}

bool OutputStream::pass_over(const char* head_data, const char* tail_end, int64_t count) {
  if (count > 0 && journal_.mapping()) {
    if (count > std::numeric_limits<int64_t>::max() - position_) return false;
    map(journal_.map_same(position_, count), count);
    return true;
  }
  if (count <= 2 * kBlock && pass_joined(head_data, count)) return true;
  const int64_t from = position_;
  if (!seek_relative(count)) return false;
  if (count <= 0 || append_ || !is_open()) return true;
  drop_tentative();
  const int64_t end = from + count;
  // The unchanged bytes between the last write and the position are kept
  // when they lie in the last written byte's block and the next one: if
  // the next write lands right here, they go out with it as their own
  // values, so that nearby changes make one write. Otherwise they are
  // dropped, and a lone change is written as just its own bytes.
  int64_t head = 0;
  const bool gathering = buffered_ > segment_begin_;
  if (gathering && buffer_offset_ + committed_ - segment_begin_ == from && from % kBlock != 0) {
    head = kBlock - from % kBlock;
    if (head > count) head = count;
    append_to_buffer(head_data, head);
  }
  int64_t tail = end % kBlock;
  if (tail > count - head) tail = count - head;
  if (gathering && buffer_offset_ + buffered_ - segment_begin_ == end - tail) {
    append_to_buffer(tail_end - tail, tail);
  } else {
    end_segment(end, true);
    buffer_offset_ = end;
  }
  return true;
}

const OutputStream::Stretch* OutputStream::gather(const Stretch* s, const Stretch* end) {
  if (!is_open() || append_ || buffered_ <= segment_begin_) return s;
  // The stream's state stays in registers while the stretches join what
  // is being gathered; each test below is that of join_gathered() or
  // pass_joined().
  char* buffer = buffer_.get();
  const int64_t file_base = buffer_offset_ - segment_begin_;  // file offset of buffer[0]
  const int64_t begin = segment_begin_;
  int64_t committed = committed_;
  int64_t buffered = buffered_;
  int64_t position = position_;
  // Passes whose bytes follow each other in the image with just the bytes
  // of the writes between them (same-length edits) make one block: it is
  // copied in one go, and the writes are put over it.
  const Stretch* block = nullptr;
  const char* block_from = nullptr;
  int64_t block_at = 0;
  int64_t block_end = 0;
  auto copy_block = [&](const Stretch* upto) {
    if (!block) return;
    std::memcpy(buffer + block_at, block_from, static_cast<size_t>(block_end - block_at));
    int64_t at = block_at;
    for (const Stretch* t = block; t != upto; ++t) {
      if (!t->passed) copy_into(buffer + at, t->data, t->size);
      at += t->size;
    }
    block = nullptr;
  };
  for (; s != end; ++s) {
    const int64_t size = s->size;
    if (size <= 0) break;
    if (s->passed) {
      buffered = committed;
      if (committed <= begin || file_base + committed != position ||
          (position + size) / kBlock > (position - 1) / kBlock + 1 ||
          size > std::numeric_limits<int64_t>::max() - position)
        break;
      if (!block || s->data != block_from + (buffered - block_at)) {
        copy_block(s);
        block = s;
        block_from = s->data;
        block_at = buffered;
      }
      block_end = buffered + size;
      buffered += size;
      position += size;
    } else {
      if (buffered <= begin || file_base + buffered != position || buffered + size > kBufferSize)
        break;
      committed = buffered;
      if (!block) copy_into(buffer + buffered, s->data, size);
      buffered += size;
      if (!written_.empty() && written_.back() == committed) {
        written_.back() += size;
      } else {
        written_.push_back(committed);
        written_.push_back(committed + size);
      }
      committed += size;
      position += size;
    }
  }
  copy_block(s);
  committed_ = committed;
  buffered_ = buffered;
  position_ = position;
  return s;
}

bool OutputStream::write_stretches(const Stretch* stretches, size_t count) {
  if (journal_.mapping()) {
    bool moved = true;
    for (size_t i = 0; i < count; ++i) {
      const Stretch& st = stretches[i];
      if (st.passed) {
        moved = pass_over(st.data, st.size) && moved;
      } else if (st.size > 0) {
        map(st.image_offset == kNewBytes
                ? journal_.map_new(position_, st.data, st.size)
                : journal_.map_copy(position_, st.data, st.image_offset, st.size),
            st.size);
      }
    }
    return moved;
  }
  bool moved = true;
  const Stretch* end = stretches + count;
  for (const Stretch* s = gather(stretches, end); s != end; s = gather(s + 1, end)) {
    if (s->passed) {
      moved = pass_over(s->data, s->size) && moved;
    } else {
      write(s->data, s->size);
    }
  }
  return moved;
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

bool OutputStream::release() {
  if (!is_open()) return !error_;
  flush();
  file_ = platform::kNoFile;
  return !error_;
}

bool OutputStream::close() {
  if (!is_open()) return !error_;
  flush();
  if (!platform::close_file(file_)) error_ = true;
  file_ = platform::kNoFile;
  return !error_;
}

}  // namespace qk
