// The output writer. It emits the file image in order through the output
// stream: unchanged spans are passed over with a seek while the edits so far
// kept the file's length (intelligent writing), and written otherwise. At
// the end it checks and closes the stream and cuts a file that shrank.
#pragma once

#include <cstdint>

#include "state/run.h"

namespace qk {

// The scan status of a run whose output would have grown past the largest
// file QK accepts; it is undone like a write fault.
constexpr int32_t kOutputTooBig = -4;

// True when every edit of the run writes as many bytes as it consumes:
// a plain replacement (no line modes, no adding) whose new text, with the
// matched text put in for '&' and the padding of -N, is as long as the
// search text. Such a run is written in place as it goes; any other is
// first made as a map of the file and written from it.
bool keeps_length(const Run& run);

// Emits `count` unchanged image bytes at the image cursor; false when the
// seek that passes over them failed.
bool pass_through(Run& run, int64_t count);

// Emits a batch of stretches in one call (OutputStream::write_stretches):
// image bytes in front of the edits, passed over or written by the rule
// pass_through follows, and the edits' bytes. The caller has checked that
// they fit and keeps the counts. False when a pass failed, as
// pass_through.
bool emit_stretches(Run& run, const OutputStream::Stretch* stretches, size_t count);

// The rest of the image after the last match.
void emit_tail(Run& run);

void write_output(Run& run, const char* data, int64_t size);
// False, and the run marked as over the limit, when `size` more bytes would
// take the output past the largest file QK accepts.
bool fits(Run& run, int64_t size);
// Writes `size` image bytes from image offset `from`, reading them in as
// it goes; like write_output, nothing when they do not fit.
void write_image(Run& run, int64_t from, int64_t size);
void write_output(Run& run, char byte);
void seek_output_start(Run& run);
void seek_output_end(Run& run);

// A set error indicator (after flushing) turns the scan status into -14;
// output dropped at the size limit turns it into kOutputTooBig.
void check_output(Run& run);

// Closes the stream; false when that failed (a write fault, unless the run
// failed before).
bool close_output(Run& run);

// Cuts the target, through the stream's own handle, to `length` bytes;
// false on failure.
bool truncate_target(Run& run, int64_t length);

// After a failure in an in-place run: puts the original content back from
// the stream's restore journal, through `file`, a handle on the target.
// False when that failed as well.
bool restore_target(Run& run, platform::FileHandle file);

}  // namespace qk
