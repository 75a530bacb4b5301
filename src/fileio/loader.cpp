// Loading the target file. The target is opened once, and everything the
// run does to it afterwards goes through that one handle (or copies of
// it): no name is looked up again, so nobody can swap the file for
// another, or for a link to one, while the run works. Before it is read,
// the target is guarded: a journal that a dead run left puts it back
// first, and an in-place run makes its own journal, whose lock keeps
// other runs off the file until the journal is gone. The file is then
// sized and opened as a streamed image, which reads it a chunk at a time
// as the scan needs it (see image.h).
#include "fileio/loader.h"

#include "fileio/image.h"
#include "fileio/writer.h"
#include "platform/platform.h"
#include "stream/journal_place.h"

namespace qk {

namespace {

bool image_from(Run& run, size_t size, int created_offset) {
  size_t total = size + static_cast<size_t>(created_offset);
  char* block = platform::allocate_image(total);
  if (!block) return false;
  run.image.buffer = block;
  run.image.allocated = total;
  run.image.created_offset = created_offset;
  use_memory_image(run.image, block + created_offset, static_cast<int64_t>(size));
  run.writer.cursor = 0;
  return true;
}

// Refuses the run when another run holds the target, or when an edit in
// place can keep no journal (then only a lone change within one page may
// be made; the stream refuses any other write, and the driver says why).
bool start_journal(Run& run, platform::FileHandle file, const journal::Places& places, int64_t size,
                   bool beside_taken) {
  RestoreJournal& journal = run.writer.out.journal();
  switch (journal.start(file, places, size, beside_taken)) {
    case RestoreJournal::Started::kJournal:
      return true;
    case RestoreJournal::Started::kBusy:
      run.guard.busy = true;
      run.error_code = -30;
      journal.finish(true);
      return false;
    case RestoreJournal::Started::kNone:
      run.guard.why_none = journal.why_none();
      return true;
  }
  return true;
}

// Creation under :C, reached when the target is missing or empty. An empty
// target that is open already is used as it is.
void create_target(Run& run, int32_t code, platform::FileHandle empty) {
  Settings& s = run.settings;
  if (s.create != 'C') {
    platform::close_file(empty);
    run.error_code = code;
    return;
  }
  platform::FileHandle file = empty;
  if (file == platform::kNoFile || s.output) {
    platform::close_file(empty);
    const char* name = s.output ? run.texts.slots.output_name : run.texts.slots.file_name;
    file = platform::open_file(name, platform::OpenMode::kCreate);
  }
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
  if (!s.output) {
    const journal::Places places = journal::places_of(file, run.texts.slots.file_name);
    if (!start_journal(run, file, places, 0, false)) {
      platform::close_file(file);
      return;
    }
  }
  run.writer.out.attach(file, false);
}

// Puts the target back with a dead run's journal, before anything reads
// it. False with the error code set when the file must not be read.
bool guard_target(Run& run, platform::FileHandle target, bool writable,
                  const journal::Places& places, bool* beside_taken) {
  TargetGuard& guard = run.guard;
  // Interrupts wait while the file is put back, as while it is edited.
  platform::hold_interrupts();
  const Recovered found = recover(places, target, writable);
  platform::release_interrupts();
  *beside_taken = found.beside_taken;
  guard.recovery = found.result;
  guard.journal = found.journal;
  guard.owner = found.owner;
  switch (found.result) {
    case Recovery::kNone:
    case Recovery::kRestored:
    case Recovery::kCompleted:
      return true;
    case Recovery::kBusy:
      guard.busy = true;
      run.error_code = -30;
      return false;
    case Recovery::kFailed:
    case Recovery::kUnfinished:
      run.error_code = -14;
      return false;
    default:
      run.error_code = -30;
      return false;
  }
}

// The output file of -$, opened without being emptied, so that one that is
// the target itself (under any name) is known before it loses a byte: the
// image must then hold all of the file, and the journal keep it against a
// death, before it is emptied.
platform::FileHandle open_output(Run& run, platform::FileHandle target, bool* itself) {
  const bool append = run.settings.output_mode == 'A';
  platform::FileHandle out =
      platform::open_file(run.texts.slots.output_name,
                          append ? platform::OpenMode::kAppend : platform::OpenMode::kOutput);
  platform::FileIdentity of_target;
  platform::FileIdentity of_output;
  *itself = out != platform::kNoFile && platform::file_identity(target, &of_target) &&
            platform::file_identity(out, &of_output) && of_target.device == of_output.device &&
            of_target.index == of_output.index;
  return out;
}

// Keeps the whole of a target that is its own output file, and reads all
// of it, before the output empties it.
bool keep_all(Run& run, platform::FileHandle target) {
  RestoreJournal& journal = run.writer.out.journal();
  if (!journal.on_disk()) {
    // The file is rewritten whole: without a journal a death would lose it.
    run.guard.no_journal = true;
    run.error_code = -30;
    return false;
  }
  if (!journal.keep_all_before_rewrite(target, run.settings.output_mode == 'A')) {
    run.error_code = journal.short_of_memory() ? -3 : -6;
    return false;
  }
  return hold_whole_image(run);
}

}  // namespace

void load_target(Run& run) {
  Settings& s = run.settings;
  const char* name = run.texts.slots.file_name;

  // Only a regular file is a target: a directory, FIFO or device is
  // refused before anything opens it, so QK never blocks on one.
  if (platform::file_kind(name) == platform::FileKind::kOther) {
    run.error_code = -1;
    return;
  }
  // Opened for update whenever that is allowed, also by a run that only
  // reads it: a journal found must be applied through this same handle.
  bool missing = false;
  platform::FileHandle target = platform::open_file(name, platform::OpenMode::kUpdate, &missing);
  const bool writable = target != platform::kNoFile;
  if (!writable && !missing) target = platform::open_file(name, platform::OpenMode::kRead);
  if (target == platform::kNoFile) {
    create_target(run, -1, platform::kNoFile);
    return;
  }
  const bool in_place = !s.output && !s.report_only();
  if (in_place && !writable) {
    platform::close_file(target);
    run.error_code = -30;
    return;
  }
  const journal::Places places = journal::places_of(target, name);
  bool beside_taken = false;
  if (!guard_target(run, target, writable, places, &beside_taken)) {
    platform::close_file(target);
    return;
  }

  const int64_t size = platform::file_size(target);
  int32_t refused = 0;
  if (size < 0) refused = -5;
  if (size > kMaxFileSize) refused = -4;
  if (refused) {
    platform::close_file(target);
    run.error_code = refused;
    return;
  }
  if (size == 0) {
    create_target(run, -4, in_place ? target : platform::kNoFile);
    if (!in_place) platform::close_file(target);
    return;
  }
  bool itself = false;
  platform::FileHandle out = platform::kNoFile;
  if (s.output) {
    out = open_output(run, target, &itself);
    if (out == platform::kNoFile) {
      platform::close_file(target);
      run.error_code = -6;
      return;
    }
  }
  // The lock comes before the first byte is read: no other run can change
  // the file between this run's reading and writing.
  RestoreJournal& journal = run.writer.out.journal();
  if ((in_place || itself) && !start_journal(run, target, places, size, beside_taken)) {
    platform::close_file(out);
    platform::close_file(target);
    return;
  }
  const platform::FileHandle source = platform::duplicate_file(target);
  if (source == platform::kNoFile) run.error_code = -5;
  if (run.error_code == 0 && open_streamed_image(run, source, size) &&
      (!itself || keep_all(run, target)) && s.output && s.output_mode != 'A' &&
      !platform::set_length(out, 0))
    run.error_code = -6;
  if (run.error_code != 0) {
    journal.finish(false);  // the target was not touched
    platform::close_file(out);
    platform::close_file(target);
    return;
  }
  run.texts.slots.scratch[0] = '\0';
  if (s.output) {
    platform::close_file(target);
    run.writer.out.attach(out, s.output_mode == 'A');
    return;
  }
  // A report-only run's stream may not write, so any write fails.
  run.writer.out.attach(target, false, !in_place);
  if (in_place) run.writer.out.on_change(hand_originals, &run);
  // An edit that may change the length is made as a map first, and
  // written from it once whole (stream/journal.h).
  if (in_place && !keeps_length(run)) journal.begin_map();
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
  run.writer.out.journal().finish(false);
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
