// Loading the target file. Before it is read, the target is guarded: an
// in-place run locks it against other runs, and a journal that a dead run
// left beside it puts it back first. The file is then sized and opened as
// a streamed image, which reads it a chunk at a time as the scan needs it
// (see image.h); the output stream's restore journal keeps the originals
// of what it changes, which put the file back after a failed write or a
// death.
#include "fileio/loader.h"

#include "fileio/image.h"
#include "platform/platform.h"
#include "stream/journal_format.h"

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
  if (!s.output) run.writer.out.journal().start(name, 0);
}

// Locks the target, `update` when the run edits it in place, and puts it
// back with a dead run's journal. A run that does not write the target
// looks for a journal only, and needs to lock and write the target only
// when it finds one. False with the error code set when the file must not
// be read.
bool guard_target(Run& run, platform::FileHandle update) {
  const char* name = run.texts.slots.file_name;
  TargetGuard& guard = run.guard;
  platform::FileHandle target = update;
  platform::FileHandle own = platform::kNoFile;
  if (target == platform::kNoFile) {
    if (platform::file_kind(journal::name_for(name).c_str()) == platform::FileKind::kMissing)
      return true;
    own = target = platform::open_file(name, platform::OpenMode::kUpdate);
    if (target == platform::kNoFile) {
      guard.unwritable = true;
      run.error_code = -30;
      return false;
    }
  }
  if (!run.writer.out.journal().lock(name)) {
    platform::close_file(own);
    guard.busy = true;
    run.error_code = -30;
    return false;
  }
  // Interrupts wait while the file is put back, as while it is edited.
  platform::hold_interrupts();
  guard.recovery = recover(name, target);
  platform::release_interrupts();
  platform::close_file(own);
  if (guard.recovery == Recovery::kNone || guard.recovery == Recovery::kRestored) return true;
  run.error_code = guard.recovery == Recovery::kFailed ? -14 : -30;
  return false;
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
  // The file opened for reading is where the image reads its chunks from.
  platform::FileHandle source = platform::open_file(name, platform::OpenMode::kRead);
  if (source == platform::kNoFile) {
    create_target(run, -1);
    return;
  }
  platform::FileHandle update = platform::kNoFile;
  if (!s.output && !run.settings.report_only()) {
    update = platform::open_file(name, platform::OpenMode::kUpdate);
    if (update == platform::kNoFile) {
      platform::close_file(source);
      run.error_code = -30;
      return;
    }
  }
  if (!guard_target(run, update)) {
    platform::close_file(source);
    platform::close_file(update);
    return;
  }

  const int64_t size = platform::file_size(source);
  int32_t refused = 0;
  if (size < 0) refused = -5;
  if (size > kMaxFileSize) refused = -4;
  if (refused || size == 0) {
    platform::close_file(source);
    platform::close_file(update);
    if (refused) {
      run.error_code = refused;
    } else {
      create_target(run, -4);
    }
    return;
  }
  if (!open_streamed_image(run, source, size)) {
    platform::close_file(update);
    return;
  }
  run.texts.slots.scratch[0] = '\0';

  if (s.output) {
    const bool append = s.output_mode == 'A';
    // An output file that is the target itself is emptied when it opens,
    // so the image must hold all of the file before that, and the journal
    // keep it against a death.
    if (platform::same_file(run.texts.slots.output_name, source)) {
      RestoreJournal& journal = run.writer.out.journal();
      if (!journal.lock(name)) {
        run.guard.busy = true;
        run.error_code = -30;
        return;
      }
      journal.start(name, size);
      if (!journal.keep_all_before_rewrite(source, append)) {
        run.error_code = journal.short_of_memory() ? -3 : -6;
        journal.finish(false);  // the file was not touched
        return;
      }
      if (!hold_whole_image(run)) {
        journal.finish(false);
        return;
      }
    }
    platform::FileHandle out =
        platform::open_file(run.texts.slots.output_name,
                            append ? platform::OpenMode::kAppend : platform::OpenMode::kCreate);
    if (out == platform::kNoFile) {
      run.error_code = -6;
      // The target, if it is the output file, was not opened, so not
      // emptied either.
      run.writer.out.journal().finish(false);
      return;
    }
    run.writer.out.attach(out, append);
    return;
  }
  if (update == platform::kNoFile) {
    // A report-only run: the stream is read-only, so any write fails.
    update = platform::open_file(name, platform::OpenMode::kRead);
    if (update == platform::kNoFile) {
      run.error_code = -5;
      return;
    }
    run.writer.out.attach(update, false);
    return;
  }
  run.writer.out.attach(update, false);
  run.writer.out.journal().start(name, size);
  run.writer.out.on_change(hand_originals, &run);
}

FileImage::~FileImage() {
  free_image_memory(*this);
  if (reserved) {
    platform::free_space(buffer, allocated);
  } else {
    platform::free_image(buffer, allocated);
  }
}

void release_image(Run& run) {
  // A journal still open now holds nothing (edit_target finishes the one
  // a run wrote); the target's lock goes with it.
  run.writer.out.journal().finish(true);
  FileImage& image = run.image;
  free_image_memory(image);
  if (image.reserved) {
    platform::free_space(image.buffer, image.allocated);
  } else {
    platform::free_image(image.buffer, image.allocated);
  }
  image.buffer = nullptr;
  image.allocated = 0;
  image.reserved = false;
}

}  // namespace qk
