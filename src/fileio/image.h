// The streamed file image. Only a few chunks of the target are in memory:
// those the matcher, the line rules, the builder and the writer are looking
// at, and a few spare ones, in a window of address space a few chunks wide
// that moves along the file as the run gets there. Everything that reads
// image bytes asks for them first, by their image offsets, and then takes
// their address from FileImage::at(); the next request may move the window
// or let the chunk go, so an address is never kept across one. A chunk
// that was let go is read again, from the file and, where this run has
// overwritten the file already, from the restore journal.
#pragma once

#include <cstdint>

#include "state/run.h"

namespace qk {

// Makes `source`, `size` bytes long, the image's file (the image owns it
// from now on) and reads its first chunk. False with run.error_code set
// (-3 or -5) on failure.
bool open_streamed_image(Run& run, platform::FileHandle source, int64_t size);

// Makes the `size` bytes at `data` the whole image, all in memory and
// never read from a file (the loader's own blocks, and tests).
void use_memory_image(FileImage& image, const char* data, int64_t size);

// Reads the whole file into memory and keeps it there, for a run whose
// output replaces the file it reads. False with run.error_code set.
bool hold_whole_image(Run& run);

// Makes the image bytes [from, to) readable (clamped to the image). False
// when they could not be read; run.image.failure then says why, and the
// output stream refuses every further write.
bool need_bytes(Run& run, int64_t from, int64_t to);
inline bool need(Run& run, int64_t from, int64_t to) {
  const FileImage& image = run.image;
  if (from >= image.ready_begin && to <= image.ready_end) return true;
  return need_bytes(run, from, to);
}

// Makes readable the bytes from `at` (< `limit`) to the end of the run of
// chunks in memory there, at most to `limit`, and returns that end; `at`
// when nothing could be read.
int64_t need_from(Run& run, int64_t at, int64_t limit);

// The output stream's hook before file range [from, to) is written in
// place: `originals` points at the image's copy of what the file holds
// there, when it has one in memory (the journal then need not read it
// back from the file).
bool hand_originals(void* run, int64_t from, int64_t to, const char** originals);

// Frees the image's memory and closes its file.
void free_image_memory(FileImage& image);

}  // namespace qk
