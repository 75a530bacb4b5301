// Adding the new text when no match was acted on (-B at the beginning of
// the file, -T at its end), as a whole line with -D.
#pragma once

#include <cstdint>

#include "state/run.h"

namespace qk {

// Runs after the tail of a scan that acted on nothing.
void add_new_text(Run& run);

// The added text itself: '&' stands for the search text here, since there
// is no matched text. Returns the bytes written.
int64_t write_added_text(Run& run);

}  // namespace qk
