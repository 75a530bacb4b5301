// The replace engine: one forward pass over the file image that finds,
// selects and edits matches, emitting the unchanged stretches between them.
#pragma once

#include "state/run.h"

namespace qk {

// Scans the whole image; leaves the scan status at 1 when it ran to the
// end, or at a failure code.
void run_engine(Run& run);

}  // namespace qk
