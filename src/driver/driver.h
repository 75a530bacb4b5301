// The program driver: one run through the fixed stages, from the command
// line to the exit code.
#pragma once

#include "driver/run.h"

namespace qk {

// Runs QK on an argument vector (the program name first) and returns the
// process exit code.
int run_qk(Run& run, int argc, const char* const* argv);

}  // namespace qk
