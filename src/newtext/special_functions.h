// Special function characters (-K): characters of the new text that become
// quotes, control characters, line breaks or random characters from the
// run's seeded generator, once or afresh after every acted match.
#pragma once

#include <cstdint>

#include "state/run.h"

namespace qk {

// Validation of the entries, saving for -K:RM, seeding and the first pass.
void setup_special_functions(Run& run);

void apply_special_functions(Run& run);

// The -K:RM step after an acted match.
void reset_new_text(Run& run);

// Writes a piece of the new text with line-break characters as the line
// break QK writes (the file's kind); the expansion count grows by the
// bytes that adds.
void write_with_line_breaks(Run& run, const char* piece, int64_t size);

// One draw of the run's generator: 0 to 32767.
int next_random(Run& run);

}  // namespace qk
