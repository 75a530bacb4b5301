// Where a text argument can come from besides the argument itself: the
// environment (-E, -GE) and whole files (-L).
#pragma once

#include <string>

#include "state/run.h"

namespace qk {

// Looks up the variable named `name`, then its upper-cased name; the name is
// taken whole, as a cut one could name another variable. Returns false when
// neither exists.
bool environment_text(const std::string& name, std::string& value);

// Loads the -L file of <search> (`for_search`) or <new>: sets the text, its
// length and the -L marker, or a load status and error code -7.
void load_text_file(Run& run, bool for_search);

// Reads the new text's large -L file again (the -K:RM reset). Sets the -L
// status of <new> and returns false on failure.
bool reload_new_text(Run& run);

}  // namespace qk
