// The pattern matcher: search preparation (line anchors taken off the
// search text) and the forward scan for the next match, with ASCII case
// folding, the one-byte wildcard and the line anchors.
#pragma once

#include <cstdint>

#include "state/run.h"

namespace qk {

void prepare_search(Run& run);

// Finds the first match at or after `start_offset` bytes past the image
// cursor; sets run.match (offset -1 when there is none). Widens the match to
// its line in the line modes.
void find_match(Run& run, int64_t start_offset);

// Many finds at once, for a batch of edits: every match from image offset
// `from` on that lies, with the bytes its line anchors look at, inside the
// bytes in memory [window_begin, window_end), in order, none starting
// before the end of the one in front of it; up to `cap` of their
// addresses into `found`. Returns how many, with `*resume` the offset
// where the find for the next match begins. No line widening. Nothing
// found and `*resume` at `from` when the text has no literal byte or no
// candidate can be tested in the window.
int64_t find_matches(Run& run, int64_t from, int64_t window_begin, int64_t window_end,
                     const uint8_t** found, int64_t cap, int64_t* resume);

}  // namespace qk
