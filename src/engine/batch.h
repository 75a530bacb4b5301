// Edits in batches. Where matches are dense, the cost of a match is the
// work around it: a find, a selection, a pass and a write through the
// stream, each a call of its own. A batch finds every match of the bytes in
// memory in one scan, selects them by number, and hands the stretches
// between them and their edits to the output stream in one call, with the
// same bytes, counts and writes as the cycles of the replace engine one
// match at a time.
#pragma once

#include "state/run.h"

namespace qk {

// Edits the matches that lie wholly in the bytes in memory from where the
// next find begins, as many windows on as the image has in memory at once;
// leaves the match at the edge of the memory, or any the batch cannot
// take, to the engine's next cycle. Does nothing for a run whose edits
// need a cycle each (line modes, -#:J and -#:L, -K:RM, line break
// characters, -O that consumes more, -& with a case).
void edit_in_batches(Run& run);

}  // namespace qk
