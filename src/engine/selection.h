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

// -#:L: when the scan found no further match, asks for the repeat of the
// last one. Returns true when the engine should find again.
bool repeat_last_match(Run& run);

// -#:J: after acting on the held match, whose edit consumed `consumed`
// bytes, recounts the new held match and the next find's start.
void after_held_edit(Run& run, int64_t consumed);

// True when the selection keeps its own start offset for the next find.
bool keeps_start_offset(const Run& run);

}  // namespace qk
