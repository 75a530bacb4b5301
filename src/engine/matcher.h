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

}  // namespace qk
