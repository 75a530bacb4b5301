// Whole-line mode and the line filters: widening a match to its line, and
// writing only the modified lines (-M).
#pragma once

#include "state/run.h"

namespace qk {

// Widens the match just found to its line, as -D, -U and -M need it.
void widen_to_line(Run& run);

// -M: writes the pieces of the modified line in front of the acted match
// and moves the image cursor onto the match.
void write_line_pieces(Run& run);

// -M: after the edit, how much of the match's line is still to be written.
void note_line_rest(Run& run, int64_t offset, int64_t length);

// -M: the end of the scan; writes the last pending line rest.
void finish_modified_lines(Run& run);

// Before anything is written: the line break QK writes itself takes the
// kind of the image's first one.
void choose_written_break(Run& run);

}  // namespace qk
