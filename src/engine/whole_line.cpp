// Whole-line mode and the line filters. A line ends where a CR LF pair
// begins and starts just after a line feed; the search for a line's start
// never reaches back past the image cursor, so it never touches output that
// has already been emitted.
#include "engine/whole_line.h"

#include <cstring>

#include "fileio/writer.h"

namespace qk {

namespace {

// The CR of the first CR LF pair in [from, end), or nullptr.
const char* find_crlf(const char* from, const char* end) {
  while (from < end) {
    const void* cr = std::memchr(from, '\r', static_cast<size_t>(end - from));
    if (!cr) return nullptr;
    const char* at = static_cast<const char*>(cr);
    if (at + 1 < end && at[1] == '\n') return at;
    from = at + 1;
  }
  return nullptr;
}

}  // namespace

void widen_to_line(Run& run) {
  const Settings& s = run.settings;
  MatchState& m = run.match;
  const char* cursor = run.writer.cursor;
  const char* end = run.image.end;
  const char* match_end = m.start + m.length;

  const char* line_start;
  if (s.whole_lines && s.line_option == 'L') {
    line_start = m.start;
  } else {
    line_start = cursor;
    for (const char* at = m.start; at >= cursor; --at) {
      if (*at == '\n') {
        line_start = at + 1;
        break;
      }
      if (at == cursor) break;
    }
  }

  const char* crlf = nullptr;
  const char* line_end;
  if (s.whole_lines && s.line_option == 'R') {
    line_end = match_end;
  } else {
    crlf = find_crlf(match_end, end);
    if (crlf) {
      line_end = crlf;
    } else if (match_end == end) {
      // A match that takes in the last byte of an image without a final
      // CR LF ends its line there; one byte short, the edit would consume
      // less than the match and the scan would find it again forever.
      line_end = end;
    } else {
      line_end = end - 1;
    }
  }

  const int64_t start_offset = line_start - cursor;
  const int64_t line_length = line_end - line_start;
  const int64_t match_offset = m.offset;
  const int64_t match_length = m.length;
  if (s.line_filter == 'U' || s.whole_lines) {
    m.offset = start_offset;
    m.length = line_length;
  }
  if (s.whole_lines && run.texts.new_len == 0 && crlf && s.line_option == 0) {
    m.length += 2;
    m.crlf_consumed = true;
  }
  if (s.line_filter == 'M') {
    m.line_start = start_offset;
    m.line_length = line_length;
    if (!s.whole_lines) {
      m.offset = match_offset;
      m.length = match_length;
    }
  }
}

void write_line_pieces(Run& run) {
  WriterState& w = run.writer;
  MatchState& m = run.match;
  int64_t& rest = run.counts.pending_line_rest;
  if (rest > 0 && m.offset >= rest) {
    write_output(run, w.cursor, rest);
    w.net_change += rest;
    w.bytes_written += rest;
    rest = 0;
  }
  if (m.offset > 0) {
    int64_t piece = m.offset - m.line_start;
    if (piece > 0)
      write_output(run, w.cursor + m.line_start, piece);
    else
      piece = 0;
    w.bytes_written += piece;
    w.net_change += piece - m.offset;
    w.cursor += m.offset;
  }
}

void note_line_rest(Run& run, int64_t offset, int64_t length) {
  const MatchState& m = run.match;
  int64_t rest = (m.line_start + m.line_length + 2) - (offset + length);
  const int64_t left = run.image.end - run.writer.cursor;
  if (rest > left) rest = left;
  run.counts.pending_line_rest = rest > 0 ? rest : 0;
}

void finish_modified_lines(Run& run) {
  WriterState& w = run.writer;
  int64_t rest = run.counts.pending_line_rest;
  // Without an acted match nothing was written and nothing is dropped, so
  // an in-place target stays exactly as it was.
  if (rest == 0 && run.counts.acted == 0) return;
  if (rest > 0) write_output(run, w.cursor, rest);
  w.bytes_written += rest;
  w.net_change += rest - (run.image.end - w.cursor);
  w.cursor = run.image.end;
  run.counts.pending_line_rest = 0;
}

}  // namespace qk
