// Loading the target file. The file is sized, read with one read into one
// buffer of exactly its size, and kept whole for the run; the image is
// never changed afterwards, so it is also the backup that puts the file
// back after a failed write.
#include "fileio/loader.h"

#include "platform/platform.h"

namespace qk {

namespace {

bool image_from(Run& run, size_t size, int created_offset) {
  size_t total = size + static_cast<size_t>(created_offset);
  char* block = platform::allocate_image(total);
  if (!block) return false;
  run.image.buffer = block;
  run.image.allocated = total;
  run.image.created_offset = created_offset;
  run.image.start = block + created_offset;
  run.image.end = run.image.start + size;
  run.writer.cursor = run.image.start;
  return true;
}

// Creation under :C, reached when the target is missing or empty.
void create_target(Run& run, int32_t code) {
  Settings& s = run.settings;
  if (s.create != 'C') {
    run.error_code = code;
    return;
  }
  const char* name = s.output ? run.texts.slots.output_name : run.texts.slots.file_name;
  platform::FileHandle file = platform::open_file(name, platform::OpenMode::kCreate);
  if (file == platform::kNoFile) {
    run.error_code = -6;
    return;
  }
  // A line feed in front of the empty image: a whole line added to the new
  // file then needs no line break before it.
  if (!image_from(run, 0, 1)) {
    platform::close_file(file);
    run.error_code = -3;
    return;
  }
  run.image.buffer[0] = '\n';
  s.create = 'Y';
  run.writer.out.attach(file, false);
  run.writer.out.keep_originals(0);
}

}  // namespace

void load_target(Run& run) {
  Settings& s = run.settings;
  const char* name = run.texts.slots.file_name;

  // Only a regular file is a target: a directory, FIFO or device is
  // refused before anything opens it, so QK never blocks on one.
  platform::FileKind kind = platform::file_kind(name);
  if (kind == platform::FileKind::kOther) {
    run.error_code = -1;
    return;
  }
  platform::FileHandle file = platform::open_file(name, platform::OpenMode::kRead);
  if (file == platform::kNoFile) {
    create_target(run, -1);
    return;
  }
  if (!s.output && !run.settings.report_only()) {
    platform::FileHandle update = platform::open_file(name, platform::OpenMode::kUpdate);
    platform::close_file(file);
    if (update == platform::kNoFile) {
      run.error_code = -30;
      return;
    }
    file = update;
  }

  const int64_t size = platform::file_size(file);
  if (size < 0) {
    platform::close_file(file);
    run.error_code = -5;
    return;
  }
  if (size > kMaxFileSize) {
    platform::close_file(file);
    run.error_code = -4;
    return;
  }
  if (size == 0) {
    platform::close_file(file);
    create_target(run, -4);
    return;
  }
  if (!image_from(run, static_cast<size_t>(size), 0)) {
    platform::close_file(file);
    run.error_code = -3;
    return;
  }
  if (!platform::read_at(file, run.image.buffer, size, 0)) {
    platform::close_file(file);
    run.error_code = -5;
    return;
  }
  run.texts.slots.scratch[0] = '\0';

  if (s.output) {
    platform::close_file(file);
    const bool append = s.output_mode == 'A';
    platform::FileHandle out =
        platform::open_file(run.texts.slots.output_name,
                            append ? platform::OpenMode::kAppend : platform::OpenMode::kCreate);
    if (out == platform::kNoFile) {
      run.error_code = -6;
      return;
    }
    run.writer.out.attach(out, append);
    return;
  }
  run.writer.out.attach(file, false);
  run.writer.out.keep_originals(size);
}

FileImage::~FileImage() {
  platform::free_image(buffer, allocated);
}

void release_image(Run& run) {
  platform::free_image(run.image.buffer, run.image.allocated);
  run.image.buffer = nullptr;
  run.image.allocated = 0;
}

}  // namespace qk
