// The run report: the details block of sizes and counts (maximum
// verbosity) and the outcome lines of a successful run.
#pragma once

#include "state/run.h"

namespace qk {

void print_details(Run& run);
void print_outcome(Run& run);

// The line that says a dead run's journal put the target back, before
// this run did its own work (verbosity '2' and up).
void print_recovered(Run& run);

}  // namespace qk
