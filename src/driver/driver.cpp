// The program driver. The stages run in a fixed order and report failure
// only through the run's error code, which the driver tests between them;
// all messages are printed here at the end, so a failing stage never prints
// half a story.
#include "driver/driver.h"

#include <cstdlib>
#include <new>
#include <string>

#include "cmdline/command_line.h"
#include "cmdline/help.h"
#include "driver/errors.h"
#include "engine/engine.h"
#include "fileio/loader.h"
#include "fileio/writer.h"
#include "platform/platform.h"
#include "report/report.h"

namespace qk {

namespace {

bool in_place(const Run& run) {
  return !run.settings.output;
}

// The tests shrink the image's chunks to a few pages, so that small files
// cross many chunk edges.
void choose_chunk_size(Run& run) {
  const char* wanted = platform::environment("QK_TEST_CHUNK_SIZE");
  if (!wanted) return;
  const long long pages = std::atoll(wanted) / static_cast<long long>(platform::kPageSize);
  run.image.chunk_size = (pages > 0 ? pages : 1) * static_cast<int64_t>(platform::kPageSize);
}

// And the writes that move bytes to a few pages, so that an edit of a
// small file moves them in many steps.
void choose_move_chunk(Run& run) {
  const char* wanted = platform::environment("QK_TEST_MOVE_CHUNK");
  if (wanted) run.writer.out.journal().set_move_chunk(std::atoll(wanted));
}

// The tests compare edits in batches with the same edits one match at a
// time, which stays the reference.
void choose_batches(Run& run) {
  run.batch.one_match = platform::environment("QK_TEST_ONE_MATCH") != nullptr;
}

// Writing back the original after a failure only makes sense where this
// run wrote to the target: in place, or to an output file that is the
// target itself. False when that failed.
bool put_original_back(Run& run, platform::FileHandle file) {
  if (!run.writer.out.journal().active() || run.settings.report_only()) return true;
  return restore_target(run, file);
}

// For the benchmarks and tests: the journal's size at the end of the run
// (it only grows, so this is its peak) is added to the file that
// QK_TEST_JOURNAL_SIZE names.
void note_journal_size(Run& run) {
  const char* log = platform::environment("QK_TEST_JOURNAL_SIZE");
  if (!log) return;
  platform::FileHandle file = platform::open_file(log, platform::OpenMode::kAppend);
  const std::string line = std::to_string(run.writer.out.journal().size()) + "\n";
  platform::write_appending(file, line.data(), static_cast<int64_t>(line.size()));
  platform::close_file(file);
}

}  // namespace

void edit_target(Run& run) {
  // From the first write to the last cut the file may be inconsistent, so
  // interrupts wait until it is whole again.
  platform::hold_interrupts();
  Counts& c = run.counts;
  RestoreJournal& journal = run.writer.out.journal();
  bool out_of_memory = false;
  try {
    run_engine(run);
  } catch (const std::bad_alloc&) {
    // Nothing more is written; the file is put back below.
    out_of_memory = true;
    run.writer.out.fail();
  }
  try {
    check_output(run);
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
    run.writer.out.fail();
    c.scan_status = -14;
  }
  // The first failure names the run's end. Originals the journal could not
  // keep for want of memory stopped the writing: the run fails as a load
  // without memory would have.
  if (out_of_memory || (c.scan_status == -14 && journal.short_of_memory())) c.scan_status = -3;
  // A write that needed a journal where none could be made: it was not
  // made, nor any after it.
  if (journal.had_no_place()) {
    c.scan_status = -30;
    run.guard.no_journal = true;
  }
  // A chunk of the image that could not be read stopped all writing; the
  // run fails as a load would have.
  if (run.image.failure) c.scan_status = run.image.failure;
  print_details(run);
  const platform::FileHandle file = run.writer.out.handle();
  bool whole = true;
  const bool finished = c.scan_status == 1 || c.scan_status == -1 || c.scan_status == -7;
  if (journal.mapping() && finished) {
    // The edit was made as a map: now it is written, and the length set.
    bool begun = false;
    if (!journal.finish_map(file, run.writer.bytes_written, &begun)) c.scan_status = -14;
  }
  // A map whose journal ran out of room: nothing was written.
  if (journal.mapping() && c.scan_status == -14 &&
      journal.map_failure() == platform::MakeFailure::kNoRoom) {
    c.scan_status = -30;
    run.guard.no_journal = true;
    run.guard.why_none = platform::MakeFailure::kNoRoom;
  }
  const bool mapped = journal.carrying_out() || journal.mapping();
  if (!mapped && run.writer.net_change < 0 && in_place(run) && finished) {
    if (!truncate_target(run, run.writer.bytes_written)) {
      c.scan_status = journal.had_no_place() ? -30 : journal.short_of_memory() ? -3 : -20;
      run.guard.no_journal = journal.had_no_place();
      whole = put_original_back(run, file);
    }
  }
  const bool failed = c.scan_status == -14 || c.scan_status == kOutputTooBig ||
                      c.scan_status == -3 || c.scan_status == -30 || run.image.failure;
  if (failed) whole = put_original_back(run, file);
  // A close that fails is a write fault only when nothing failed before;
  // the file is then put back through a handle kept for it.
  const platform::FileHandle spare =
      journal.active() ? platform::duplicate_file(file) : platform::kNoFile;
  const bool nothing_failed = c.scan_status == 1 || c.scan_status == -1 || c.scan_status == -7;
  if (!close_output(run) && nothing_failed) {
    c.scan_status = -14;
    whole = put_original_back(run, spare);
  }
  platform::close_file(spare);
  note_journal_size(run);
  // The journal goes once the file is whole again; if it could not be put
  // back, the journal stays for the next run.
  if (!whole && journal.on_disk()) {
    run.guard.recovery = journal.carrying_out() ? Recovery::kUnfinished : Recovery::kFailed;
    run.guard.journal = journal.name();
  }
  journal.finish(!whole);
  platform::release_interrupts();
  if (c.scan_status == 1) {
    run.error_code = c.acted > INT32_MAX ? INT32_MAX : static_cast<int32_t>(c.acted);
  } else {
    run.error_code = c.scan_status;
  }
}

namespace {

void print_outcome_or_error(Run& run) {
  const char verbosity = run.settings.verbosity;
  if (verbosity == '0') {
    if (run.error_code >= 0) run.error_code = 0;
  } else if (run.error_code < 0) {
    print_error(run);
  } else if (verbosity >= '2') {
    print_outcome(run);
    run.error_code = 0;
  }
}

}  // namespace

int run_qk(Run& run, int argc, const char* const* argv) {
  read_command_line(run, argc, argv);
  validate_command_line(run);
  print_banner(run);

  int64_t result = 0;
  if (run.settings.help) {
    print_help(run);
    result = run.error_code;
  } else {
    if (run.error_code == 0) {
      choose_chunk_size(run);
      choose_move_chunk(run);
      choose_batches(run);
      try {
        load_target(run);
      } catch (const std::bad_alloc&) {
        run.error_code = -3;
      }
      if (run.guard.recovery == Recovery::kRestored || run.guard.recovery == Recovery::kCompleted)
        print_recovered(run);
    }
    if (run.error_code == 0) edit_target(run);
    print_outcome_or_error(run);
    result = run.error_code;
    if (run.settings.selection) {
      const char mode = run.settings.selection_mode;
      if ((mode == 'R' && result == 0) || mode == '0') result = run.counts.found;
    }
  }
  const int exit_code = exit_code_for(result);

  release_image(run);
  if (run.settings.pause) {
    if (run.settings.verbosity > '0') std::fputs("- Press any key to continue -", run.console);
    std::fflush(run.console);
    platform::wait_for_key();
    if (run.settings.verbosity > '0') std::fputs("\n", run.console);
  }
  std::fflush(run.console);
  return exit_code;
}

}  // namespace qk
