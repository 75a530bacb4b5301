// Match selection (-#): which of the matches found are acted on. Matches
// are numbered in scan order, skipped ones included.
#pragma once

#include <cstdint>

#include "state/run.h"

namespace qk {

// Judges the match just found. Returns true when the engine acts on
// run.match (which -#:J may have replaced by the held match); false when it
// was skipped, with run.match.start_offset set for the next find.
bool select_match(Run& run);

// Whether the selection judges each match by its number alone (no -#, or
// -#:O, E, I, 0, R or a list), not by the matches after it (-#:J, -#:L).
bool judged_by_number(const Run& run);

// For such a selection: whether match `number` is acted on.
inline bool acts_on_number(const Run& run, int64_t number) {
  const Settings& s = run.settings;
  if (!s.selection) return true;
  switch (s.selection_mode) {
    case 'O':
      return number % 2 == 1;
    case 'E':
      return number % 2 == 0;
    case 'I':
      return number != 1;
    case 'S':
      for (int i = 0; i < run.match_list.count; ++i)
        if (run.match_list.numbers[i] == number) return true;
      return run.match_list.count == 0;
    case '0':
    case 'R':
      return false;
    default:
      return true;
  }
}

// -#:L: when the scan found no further match, asks for the repeat of the
// last one. Returns true when the engine should find again.
bool repeat_last_match(Run& run);

// -#:J: after acting on the held match, whose edit consumed `consumed`
// bytes, recounts the new held match and the next find's start.
void after_held_edit(Run& run, int64_t consumed);

// True when the selection keeps its own start offset for the next find.
bool keeps_start_offset(const Run& run);

}  // namespace qk
