// Reading the command line into a run's settings and text slots, and the
// validation that follows it. Both report failure only through the run's
// error code; nothing is printed here.
#pragma once

#include "state/run.h"

namespace qk {

// The argument loop over argv[1] onward (quote conversion, switch
// families, text destinations). Stops at the first argument after which the
// error code is non-zero.
void read_command_line(Run& run, int argc, const char* const* argv);

// The validation steps after the loop, in their fixed order: missing texts,
// -L loading, lengths, search preparation, disabled special characters,
// the -K set-up and the apostrophe conversion.
void validate_command_line(Run& run);

// The line printed under the message of a bad switch argument: how to give
// a text or file name that begins like a switch.
const char* bad_switch_hint();

}  // namespace qk
