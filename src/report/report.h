// The run report: the details block of sizes and counts (maximum
// verbosity) and the outcome lines of a successful run.
#pragma once

#include "state/run.h"

namespace qk {

void print_details(Run& run);
void print_outcome(Run& run);

}  // namespace qk
