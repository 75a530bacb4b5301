// The new-text builder: what goes to the output at an acted match (the new
// text with its '&' insertions, -A/-I, -O, -N), and the apostrophe
// conversion of the new text.
#pragma once

#include <cstdint>

#include "state/run.h"

namespace qk {

// Writes everything that replaces the match at the image cursor, moves the
// cursor past the consumed bytes and returns the bytes written.
int64_t write_new_text(Run& run);

// Writes the new text once, with insertions and padding.
int64_t emit_new_text(Run& run);

// Writes the text that stands for one special character 2.
int64_t insert_matched_text(Run& run);

// Writes the new text split at special character 2, calling `insert` at
// each occurrence (the matched text, or the search text when adding);
// returns the bytes written, not counting the line-break expansion.
int64_t write_new_text_pieces(Run& run, int64_t (*insert)(Run&));

// Writes the line break QK writes itself, of the file's kind; returns its
// length.
int64_t write_line_break(Run& run);

void convert_apostrophes(Run& run);

// For edits in batches: what write_new_text writes at every acted match,
// as pieces in run.batch, when that is the same at every match apart from
// the matched text itself (a plain edit, -A or -I, '&' as found, -N; no
// line break characters, no -K:RM, no -O that takes in more bytes).
// False when the edit needs write_new_text at each match.
bool plan_new_text_pieces(Run& run);

}  // namespace qk
