// The output writer; see writer.h. A span passed over while the net change
// is 0 holds the very same bytes in the file already, which is what makes
// skipping it safe.
#include "fileio/writer.h"

#include <cstring>

#include "fileio/image.h"
#include "platform/platform.h"

namespace qk {

namespace {

bool writes_everything(const Run& run) {
  return run.writer.net_change != 0 || run.settings.full_writing != 0;
}

// Passes over unchanged bytes; the stream may write the first and last
// block of them along with a neighbouring edit, so those must be readable.
// Where a long pass's ends cannot be in memory together, its first block
// is copied aside.
bool pass_over(Run& run, int64_t count) {
  WriterState& w = run.writer;
  const FileImage& image = run.image;
  const int64_t edge = OutputStream::kBlock;
  if (count <= 2 * edge) {
    need(run, w.cursor, w.cursor + count);
    const char* bytes = image.at(w.cursor);
    return w.out.pass_over(bytes, bytes + count, count);
  }
  need(run, w.cursor, w.cursor + edge);
  need(run, w.cursor + count - edge, w.cursor + count);
  if (w.cursor >= image.ready_begin || image.source == platform::kNoFile)
    return w.out.pass_over(image.at(w.cursor), image.at(w.cursor + count), count);
  need(run, w.cursor, w.cursor + edge);
  std::memcpy(w.head, image.at(w.cursor), static_cast<size_t>(edge));
  need(run, w.cursor + count - edge, w.cursor + count);
  return w.out.pass_over(w.head, image.at(w.cursor + count), count);
}

}  // namespace

bool keeps_length(const Run& run) {
  const Settings& s = run.settings;
  if (s.whole_lines || s.line_filter || s.append_insert || s.add_mode || s.overwrite ||
      run.k.line_breaks > 0)
    return false;
  const int64_t search = run.texts.search_len;
  int64_t written = run.texts.new_len;
  if (s.disabled[2] == 0) {
    for (uint32_t i = 0; i < run.texts.new_len; ++i)
      if (run.texts.new_text[i] == s.special[2]) written += search - 1;
  }
  if (s.padding && written < search) written = search;
  return written == search;
}

// Nothing QK writes may take the output past the largest file it accepts:
// such a write is dropped and the run undone, so an edit that keeps growing
// can never fill the disk.
bool fits(Run& run, int64_t size) {
  WriterState& w = run.writer;
  if (!w.over_limit && size <= kMaxFileSize - w.out.position()) return true;
  w.over_limit = true;
  return false;
}

void write_image(Run& run, int64_t from, int64_t size) {
  if (!fits(run, size)) return;
  const int64_t end = from + size;
  while (from < end) {
    const int64_t ready = need_from(run, from, end);
    if (ready == from) return;  // the stream has already been failed
    // The stream is told where the bytes come from in the image, as a
    // batch tells it.
    const OutputStream::Stretch copy = {run.image.at(from), ready - from, from, false};
    run.writer.out.write_stretches(&copy, 1);
    from = ready;
  }
}

bool pass_through(Run& run, int64_t count) {
  WriterState& w = run.writer;
  bool ok = true;
  if (writes_everything(run)) {
    write_image(run, w.cursor, count);
  } else {
    ok = pass_over(run, count);
  }
  w.cursor += count;
  w.bytes_written += count;
  return ok;
}

bool emit_stretches(Run& run, const OutputStream::Stretch* stretches, size_t count) {
  return run.writer.out.write_stretches(stretches, count);
}

void emit_tail(Run& run) {
  WriterState& w = run.writer;
  const int64_t rest = run.image.size() - w.cursor;
  if (rest > 0 && writes_everything(run)) {
    write_image(run, w.cursor, rest);
  } else if (rest > 0) {
    pass_over(run, rest);  // may finish the block of the last edit
  }
  w.bytes_written += rest;
  w.cursor = run.image.size();
}

void write_output(Run& run, const char* data, int64_t size) {
  if (fits(run, size)) run.writer.out.write(data, size);
}

void write_output(Run& run, char byte) {
  if (fits(run, 1)) run.writer.out.put(byte);
}

void seek_output_start(Run& run) {
  run.writer.out.flush();
  run.writer.out.seek_start();
}

void seek_output_end(Run& run) {
  run.writer.out.seek_end();
}

void check_output(Run& run) {
  // With no cut to follow, what goes out now may be the run's only
  // change to the file.
  if (run.writer.net_change >= 0) run.writer.out.journal().expect_last_write();
  run.writer.out.flush();
  if (run.writer.over_limit) {
    run.counts.scan_status = kOutputTooBig;
  } else if (run.writer.out.error()) {
    run.counts.scan_status = -14;
  }
}

bool close_output(Run& run) {
  return run.writer.out.close();
}

bool truncate_target(Run& run, int64_t length) {
  // What the cut takes away goes into the journal first, so that a failed
  // cut, or a failure after it, can still put the whole file back.
  const platform::FileHandle file = run.writer.out.handle();
  return run.writer.out.journal().keep_rest(file, length) && platform::set_length(file, length);
}

bool restore_target(Run& run, platform::FileHandle file) {
  return run.writer.out.journal().play_back(file);
}

}  // namespace qk
