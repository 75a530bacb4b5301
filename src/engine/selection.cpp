// Match selection. Skipping leaves the image cursor where it is and moves
// only the start of the next find, so a skipped match goes out unchanged
// with the stretch after it. -#:J acts one match late, holding each match
// back until it knows another one follows; -#:L skips everything, then finds
// the last match once more and acts on it.
#include "engine/selection.h"

namespace qk {

namespace {

bool skip(Run& run) {
  MatchState& m = run.match;
  // The next find starts behind the skipped match; the engine moves it on
  // past an empty match, or one the line widening put behind its start.
  m.start_offset = m.offset + m.length;
  m.offset = kSkipped;
  return false;
}

}  // namespace

bool select_match(Run& run) {
  Settings& s = run.settings;
  if (!s.selection) return true;
  if (s.selection_mode == kLastPhase2) return true;
  const int64_t number = ++run.counts.found;
  switch (s.selection_mode) {
    case 'L':
      run.selection.remembered_start = run.match.start_offset;
      run.selection.last_pending = true;
      return skip(run);
    case 'J': {
      SelectionState& sel = run.selection;
      if (!sel.holding) {
        sel.held = run.match;
        sel.holding = true;
        return skip(run);
      }
      MatchState found = run.match;
      run.match = sel.held;
      run.match.start_offset = found.start_offset;
      sel.held = found;
      return true;
    }
    default:
      return acts_on_number(run, number) ? true : skip(run);
  }
}

bool judged_by_number(const Run& run) {
  const Settings& s = run.settings;
  return !s.selection ||
         (s.selection_mode != 'J' && s.selection_mode != 'L' && s.selection_mode != kLastPhase2);
}

bool repeat_last_match(Run& run) {
  Settings& s = run.settings;
  SelectionState& sel = run.selection;
  if (!s.selection || s.selection_mode != 'L' || !sel.last_pending) return false;
  sel.last_pending = false;
  s.selection_mode = kLastPhase2;
  run.match.start_offset = sel.remembered_start;
  return true;
}

void after_held_edit(Run& run, int64_t consumed) {
  SelectionState& sel = run.selection;
  MatchState& held = sel.held;
  const int64_t next = held.offset + held.length - consumed;
  held.offset -= consumed;
  held.line_start -= consumed;
  if (held.line_start < 0) held.line_start = 0;
  if (held.offset < 0) {
    // The overwrite (-O) of the edit just made took in bytes of this
    // match, so it can no longer be edited as found: it is dropped, and the
    // next match found is held back in its place.
    sel.holding = false;
  }
  run.match.start_offset = next > 0 ? next : 0;
}

bool keeps_start_offset(const Run& run) {
  return run.settings.selection && run.settings.selection_mode == 'J';
}

}  // namespace qk
