// Adding the new text when nothing matched. -T seeks to the end of the
// output and writes the text there; -B writes it at the start and then the
// whole former content behind it.
#include "newtext/add_text.h"

#include "fileio/image.h"
#include "fileio/writer.h"
#include "newtext/builder.h"

namespace qk {

namespace {

int64_t insert_search_text(Run& run) {
  write_output(run, run.texts.search, run.texts.search_len);
  return run.texts.search_len;
}

}  // namespace

int64_t write_added_text(Run& run) {
  const Settings& s = run.settings;
  run.match.length = kAddedMarker;
  int64_t written = 0;
  // A line added at the end needs a line break first unless the file ends
  // in one; at the start of the file it never does. The breaks are of the
  // file's own kind.
  if (s.whole_lines && s.add_mode == 'T') {
    const int64_t cursor = run.writer.cursor;
    if (cursor != 0 && need(run, cursor - 1, cursor) && *run.image.at(cursor - 1) != '\n')
      written += write_line_break(run);
  }
  written += write_new_text_pieces(run, insert_search_text);
  if (s.whole_lines) written += write_line_break(run);
  return written + run.counts.expansion;
}

void add_new_text(Run& run) {
  Settings& s = run.settings;
  WriterState& w = run.writer;
  if (s.add_mode == 'T') {
    seek_output_end(run);
  } else {
    seek_output_start(run);
  }
  if (s.wildcard_change && s.disabled[1] == 0) {
    for (uint32_t i = 0; i < run.texts.search_len; ++i)
      if (run.texts.search[i] == s.special[1])
        run.texts.search[i] = static_cast<char>(s.wildcard_byte);
  }
  const int64_t n = write_new_text(run);
  w.net_change += n;
  w.bytes_written += n;
  if (s.add_mode == 'B') {
    // The former content goes out once more behind the text. Nothing has
    // changed the file yet, so the image may be read from its start again;
    // the cursor follows the writing, so what is behind it can be let go.
    w.cursor = 0;
    const int64_t piece = 1 << 20;
    const int64_t end = run.image.size();
    while (w.cursor < end && fits(run, end - w.cursor)) {
      const int64_t size = end - w.cursor < piece ? end - w.cursor : piece;
      write_image(run, w.cursor, size);
      w.cursor += size;
    }
    w.cursor = end;
  }
}

}  // namespace qk
