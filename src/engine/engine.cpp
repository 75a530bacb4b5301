// The replace engine. Each cycle finds the next match that selection lets
// through, emits the stretch in front of it, writes the edit and moves on
// behind the consumed bytes, so text written by an edit is never searched
// again. When a cycle fails, the rest of the image is still emitted, so the
// file holds the edits made so far followed by its unchanged rest.
#include "engine/engine.h"

#include <cassert>

#include "engine/batch.h"
#include "engine/matcher.h"
#include "engine/selection.h"
#include "engine/whole_line.h"
#include "fileio/writer.h"
#include "newtext/add_text.h"
#include "newtext/builder.h"
#include "newtext/special_functions.h"

namespace qk {

namespace {

// The one place that makes the scan end. Each find starts past the start
// of the match found before it, whatever the edit, the selection or the line
// widening made of that match, so no position is found twice and a run
// makes at most one find per image byte. The only find allowed behind that
// point is the single repeat of -#:L, which looks for the last match again.
void find_from_floor(Run& run) {
  MatchState& m = run.match;
  int64_t& floor = run.counts.search_floor;
  const int64_t cursor = run.writer.cursor;
  if (m.start_offset < floor - cursor) m.start_offset = floor - cursor;
  find_match(run, m.start_offset);
  ++run.counts.finds;
  if (m.offset == kNoMatch) return;
  const int64_t found_at = m.start;
  assert(found_at >= floor);
  assert(m.offset >= 0 && m.length >= 0);
  floor = found_at + 1;
}

// Finds the next match to act on; false when there is none.
bool next_acted_match(Run& run) {
  MatchState& m = run.match;
  for (;;) {
    find_from_floor(run);
    if (m.offset == kNoMatch) {
      if (!repeat_last_match(run)) return false;
      run.counts.search_floor = 0;
      continue;
    }
    if (select_match(run)) return true;
  }
}

void finish_scan(Run& run) {
  if (run.settings.add_mode == 'B' && run.counts.acted == 0 && !run.settings.report_only()) {
    // -B writes the whole image behind the added text anyway (with -M too:
    // no line was modified, so none is dropped); emitting it here as well
    // would only write it twice (or, to an appended output file, leave a
    // second copy).
    run.writer.bytes_written += run.image.size() - run.writer.cursor;
    run.writer.cursor = run.image.size();
  } else if (run.settings.line_filter == 'M') {
    finish_modified_lines(run);
  } else {
    emit_tail(run);
  }
}

}  // namespace

void run_engine(Run& run) {
  Counts& counts = run.counts;
  MatchState& m = run.match;
  WriterState& w = run.writer;
  w.cursor = 0;
  choose_written_break(run);
  m.start_offset = 0;
  counts.search_floor = 0;
  counts.scan_status = 0;

  while (counts.scan_status == 0) {
    if (w.over_limit) {
      counts.scan_status = kOutputTooBig;
      break;
    }
    if (run.settings.selection_mode == kLastPhase2) run.settings.selection_mode = 'L';
    // Dense matches go in batches; a cycle takes the one at the edge of
    // the bytes in memory, and every match of an edit a batch cannot make.
    edit_in_batches(run);
    if (counts.scan_status != 0 || w.over_limit) continue;
    const bool found = next_acted_match(run);
    if (!keeps_start_offset(run)) m.start_offset = 0;
    if (!found) {
      finish_scan(run);
      counts.scan_status = 1;
      // A report-only run writes nothing, so it adds nothing either.
      if (counts.acted == 0 && run.settings.add_mode && !run.settings.report_only())
        add_new_text(run);
      return;
    }

    ++counts.acted;
    const int64_t before = w.cursor;
    const int64_t offset = m.offset;
    if (run.settings.line_filter == 'M') {
      write_line_pieces(run);
    } else if (offset > 0 && !pass_through(run, offset)) {
      counts.scan_status = -1;
    }
    const int64_t written = write_new_text(run);
    w.bytes_written += written;
    w.net_change += written - m.length;
    if (run.settings.line_filter == 'M') note_line_rest(run, offset, m.length);
    if (keeps_start_offset(run)) after_held_edit(run, w.cursor - before);
    if (counts.scan_status == 0 && run.settings.reset_per_match) reset_new_text(run);
  }
  // The scan failed: the rest of the image still goes out, so the file is
  // never left torn between old and new content.
  finish_scan(run);
}

}  // namespace qk
