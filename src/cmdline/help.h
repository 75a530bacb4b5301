// The banner line and the help pages.
#pragma once

#include "state/run.h"

namespace qk {

void print_banner(Run& run);

// Prints the help pages that the help page setting asks for; the paged
// form waits for a key between pages.
void print_help(Run& run);

}  // namespace qk
