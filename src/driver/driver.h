// The program driver: one run through the fixed stages, from the command
// line to the exit code.
#pragma once

#include "state/run.h"

namespace qk {

// Runs QK on an argument vector (the program name first) and returns the
// process exit code.
int run_qk(Run& run, int argc, const char* const* argv);

// The stages that work on a loaded target: scan and edit, check the output,
// print the details, close, cut a shrunken file, and put the original back
// after a failed write. Leaves the outcome in the run's error code.
void edit_target(Run& run);

}  // namespace qk
