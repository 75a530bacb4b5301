// The error table: the message printed for each of the run's negative error
// codes, and the mapping of the final code to the process exit code.
#pragma once

#include <cstdint>

#include "state/run.h"

namespace qk {

// Prints "\nERROR: " and the message of the run's (negative) error code.
// Command-line codes -8 to -12 are folded into -2 as they are printed.
void print_error(Run& run);

// The errorlevel for a final code: -15..-29 give 8, -30 gives 9, other
// negative codes their magnitude; counts above 255 are reported as 255 so
// that a non-zero count never reads as 0.
int exit_code_for(int64_t code);

}  // namespace qk
