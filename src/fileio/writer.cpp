// The output writer; see writer.h. A span passed over while the net change
// is 0 holds the very same bytes in the file already, which is what makes
// skipping it safe.
#include "fileio/writer.h"

#include "platform/platform.h"

namespace qk {

namespace {

bool writes_everything(const Run& run) {
  return run.writer.net_change != 0 || run.settings.full_writing != 0;
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

}  // namespace

bool pass_through(Run& run, int64_t count) {
  WriterState& w = run.writer;
  bool ok = true;
  if (writes_everything(run)) {
    if (fits(run, count)) w.out.write(w.cursor, count);
  } else {
    ok = w.out.seek_relative(count);
  }
  w.cursor += count;
  w.bytes_written += count;
  return ok;
}

void emit_tail(Run& run) {
  WriterState& w = run.writer;
  const int64_t rest = run.image.end - w.cursor;
  if (rest > 0 && writes_everything(run) && fits(run, rest)) w.out.write(w.cursor, rest);
  w.bytes_written += rest;
  w.cursor = run.image.end;
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
  run.writer.out.flush();
  if (run.writer.over_limit) {
    run.counts.scan_status = kOutputTooBig;
  } else if (run.writer.out.error()) {
    run.counts.scan_status = -14;
  }
}

void close_output(Run& run) {
  if (!run.writer.out.close()) run.counts.scan_status = -14;
}

bool truncate_target(Run& run, int64_t length) {
  return platform::set_length_by_name(run.texts.slots.file_name, length);
}

bool restore_target(Run& run) {
  platform::FileHandle file =
      platform::open_file(run.texts.slots.file_name, platform::OpenMode::kUpdate);
  if (file == platform::kNoFile) return false;
  bool ok = platform::write_at(file, run.image.start, run.image.size(), 0) &&
            platform::set_length(file, run.image.size());
  return platform::close_file(file) && ok;
}

}  // namespace qk
