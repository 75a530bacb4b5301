// The one stream a run writes through: the target file in place, the -$
// output file, or a created file. It keeps its own position, so passing
// over unchanged bytes costs no system call, and gathers writes into one
// buffer that goes out as a single positioned write. Unchanged bytes
// between two writes in the same or neighbouring 4 KiB blocks are written
// along with their own values, so dense same-length edits go out as a few
// large writes; a lone change is written as just its bytes, and a block
// without a changed byte is never written. Lone changes close together
// wait in the buffer and are kept in the journal as one record, each then
// written as its own bytes. While the journal makes a map of an edit that
// may change the file's length, everything goes into the map instead, and
// the file is written from it at the end. Like a C stream it has a sticky
// error indicator, tested once after the scan.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "stream/journal.h"

namespace qk {

class OutputStream {
 public:
  OutputStream() = default;
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;
  ~OutputStream() { close(); }

  // Takes over an open file; `append` means every write goes to its end,
  // `read_only` that the file may not be written (every write fails).
  void attach(platform::FileHandle file, bool append, bool read_only = false);

  // The journal keeps the original of every byte the stream changes in
  // place, once started (RestoreJournal::start).
  RestoreJournal& journal() { return journal_; }

  // Called with each file range [from, to) about to be written in place,
  // before it is: it may point `originals` at a copy of what the file
  // holds there (the journal then need not read it back from the file).
  using ChangeHook = bool (*)(void* context, int64_t from, int64_t to, const char** originals);
  void on_change(ChangeHook hook, void* context) {
    hook_ = hook;
    hook_context_ = context;
  }

  bool is_open() const { return file_ != platform::kNoFile; }
  platform::FileHandle handle() const { return file_; }

  void write(const char* data, int64_t size);
  void put(char byte);

  // Moves past `count` bytes that keep their values: the first of them
  // at `head`, the last ones ending at `tail_end`. Only the first and last
  // 4 KiB are read, and a pass of at most two blocks is read whole from
  // `head`, so only then must the two be one stretch of memory. False (and
  // no move) like seek_relative.
  bool pass_over(const char* head, const char* tail_end, int64_t count);
  // The same, for bytes that lie in one stretch of memory at `data`.
  bool pass_over(const char* data, int64_t count) { return pass_over(data, data + count, count); }

  // One stretch of the output that a batch of edits hands over at once:
  // `size` bytes at `data`, for the file from where the stretch before it
  // ended. Bytes copied unchanged from the file image carry where they
  // came from there, `image_offset`; new bytes (new text, line breaks,
  // padding) carry kNewBytes. `passed` marks image bytes that the file
  // already holds at this very place: they are passed over, not written.
  struct Stretch {
    const char* data;
    int64_t size;
    int64_t image_offset;
    bool passed;
  };
  static constexpr int64_t kNewBytes = -1;
  // The stretches in order from the position on: exactly what pass_over()
  // of each passed one and write() of each other one would do (the same
  // writes, journal records and error indicator), without a call per
  // stretch. False when a pass could not move, as pass_over(). Image
  // stretches that follow each other in the image with just the new bytes
  // between them, byte for byte, must lie in one block of memory (as the
  // image's do): the bytes under those new bytes may be read.
  bool write_stretches(const Stretch* stretches, size_t count);

  // Moves the position; false (and no move) when it would leave the range
  // a file offset can hold.
  bool seek_relative(int64_t distance);
  void seek_start();
  void seek_end();
  int64_t position() const { return position_; }

  bool error() const { return error_; }
  // Sets the error indicator: nothing more reaches the file.
  void fail() { error_ = true; }
  // Writes out what is buffered; a failure sets the error indicator.
  void flush();
  // Flushes and closes; false when either failed.
  bool close();
  // Flushes and lets go of the file without closing it; false when the
  // flush failed.
  bool release();

  // Bytes that reached the file through this stream, for tests and reports.
  int64_t physical_bytes() const { return physical_bytes_; }

  static constexpr int64_t kBlock = 4096;
  // Bytes gathered before they go out in one write.
  static constexpr int64_t kBufferSize = 1 << 20;
  // Room for two blocks of unchanged bytes past the buffer size: filling
  // a gap never needs a flush of its own.
  static constexpr int64_t kBufferRoom = kBufferSize + 2 * kBlock;

 private:
  // Inline: a dense edit appends a few bytes per match.
  void append_to_buffer(const char* data, int64_t size) {
    copy_into(buffer_.get() + buffered_, data, size);
    buffered_ += size;
  }
  static void copy_into(char* to, const char* data, int64_t size) {
    if (size >= 8 && size <= 16) {
      // Two words that may overlap: no loop, no call.
      std::memcpy(to, data, 8);
      std::memcpy(to + size - 8, data + size - 8, 8);
    } else if (size >= 4 && size < 8) {
      std::memcpy(to, data, 4);
      std::memcpy(to + size - 4, data + size - 4, 4);
    } else if (size < 4) {
      for (int64_t i = 0; i < size; ++i)
        to[i] = data[i];
    } else {
      std::memcpy(to, data, static_cast<size_t>(size));
    }
  }
  // The stretches from `s` on that join what is being gathered, taken in
  // one loop; returns the first one that does not.
  const Stretch* gather(const Stretch* s, const Stretch* end);
  void drop_tentative() { buffered_ = committed_; }
  // Bytes that went into the journal's map instead of the file.
  void map(bool kept, int64_t size) {
    if (kept) {
      position_ += size;
    } else {
      error_ = true;
    }
  }
  // The part of write() where the bytes follow those being gathered and
  // fit in the buffer: nearly every write of a dense edit. False, with
  // nothing done, otherwise.
  bool join_gathered(const char* data, int64_t size) {
    const int64_t gathered = buffered_ - segment_begin_;
    if (size <= 0 || gathered <= 0 || buffer_offset_ + gathered != position_ ||
        buffered_ + size > kBufferSize || !is_open())
      return false;
    committed_ = buffered_;  // the unchanged bytes in front of it go out too
    append_to_buffer(data, size);
    if (!written_.empty() && written_.back() == committed_) {
      written_.back() += size;
    } else {
      written_.push_back(committed_);
      written_.push_back(committed_ + size);
    }
    committed_ += size;
    position_ += size;
    return true;
  }
  // The part of pass_over() where the bytes passed over reach no further
  // than the block after the last written byte's, right behind what is
  // being gathered: they are all kept, in case the next write lands right
  // behind them. False, with nothing done, otherwise.
  bool pass_joined(const char* data, int64_t count) {
    const int64_t from = position_;
    if (count <= 0 || append_ || !is_open() || committed_ <= segment_begin_ ||
        buffer_offset_ + committed_ - segment_begin_ != from ||
        (from + count) / kBlock > (from - 1) / kBlock + 1 ||
        count > std::numeric_limits<int64_t>::max() - from)
      return false;
    drop_tentative();
    append_to_buffer(data, count);
    position_ += count;
    return true;
  }
  // Ends the run of bytes being gathered, as the next write or pass
  // (`passing`) lands at `next`, away from it: it waits with the others
  // when they all lie close together, or everything goes out.
  void end_segment(int64_t next, bool passing = false);
  void put_out_together();
  // One physical write, with the originals kept first; `written` lists
  // the stretches of it that came from writes (nullptr: all of it).
  void put_out(const char* data, int64_t size, int64_t offset, const std::vector<int64_t>* written);

  platform::FileHandle file_ = platform::kNoFile;
  bool append_ = false;
  bool read_only_ = false;
  bool error_ = false;
  int64_t position_ = 0;
  int64_t buffer_offset_ = 0;  // file offset of buffer_[segment_begin_]
  // kBufferRoom bytes, made once: what is buffered never needs more (see
  // write and pass_over).
  std::unique_ptr<char[]> buffer_;
  int64_t buffered_ = 0;
  // Finished runs of bytes waiting in the buffer, in rising order of their
  // file offsets; the one being gathered starts at segment_begin_, at file
  // offset buffer_offset_.
  struct Segment {
    int64_t offset;
    int64_t begin;
    int64_t end;
    int64_t file_end() const { return offset + end - begin; }
  };
  std::vector<Segment> segments_;
  std::vector<RestoreJournal::Part> parts_;
  int64_t segment_begin_ = 0;
  // Bytes of the buffer that will go out; those after them are unchanged
  // bytes in front of the position, kept only in case a write follows them
  // in the same block.
  int64_t committed_ = 0;
  // The stretches of the buffer that writes put there, as begin and end
  // pairs; the rest are unchanged bytes passed over, which hold the file's
  // own values, so the journal need not compare them.
  std::vector<int64_t> written_;
  int64_t physical_bytes_ = 0;
  RestoreJournal journal_;
  ChangeHook hook_ = nullptr;
  void* hook_context_ = nullptr;
};

}  // namespace qk
