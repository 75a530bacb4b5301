// Loading the target file into the (streamed) file image and opening the
// output stream: the target itself for in-place edits, the -$ output file, or a
// file created under :C.
#pragma once

#include "state/run.h"

namespace qk {

void load_target(Run& run);

// Frees the file image.
void release_image(Run& run);

}  // namespace qk
