// Whole-line mode and the line filters. A line break is a line feed,
// together with the CR right before it when there is one; a lone CR is an
// ordinary byte. A line ends where its break begins and starts just after a
// line feed; the search for a line's start never reaches back past the image
// cursor, so it never touches output that has already been emitted.
#include "engine/whole_line.h"

#include <cstring>

#include "fileio/image.h"
#include "fileio/writer.h"

namespace qk {

namespace {

struct LineBreak {
  int64_t at = 0;      // its first byte
  int32_t length = 0;  // 2 for CR LF, 1 for a bare line feed, 0 none
};

// The first line break that lies wholly in [from, end): the first line feed
// there, with the CR in front of it when that CR lies at or after `from`. A
// line feed right at `from` behind a CR is the rest of a CR LF whose CR the
// match took in; it ends no line. The image is read as the search gets
// there.
LineBreak find_line_break(Run& run, int64_t from, int64_t end) {
  const FileImage& image = run.image;
  int64_t at = from;
  while (at < end) {
    const int64_t ready = need_from(run, at, end);
    if (ready == at) return {};  // the image could not be read
    const char* bytes = image.at(at);
    const void* lf = std::memchr(bytes, '\n', static_cast<size_t>(ready - at));
    if (!lf) {
      at = ready;
      continue;
    }
    const int64_t feed = at + (static_cast<const char*>(lf) - bytes);
    if (feed == 0) return {feed, 1};
    if (!need(run, feed - 1, feed + 1)) return {};
    if (*image.at(feed - 1) != '\r') return {feed, 1};
    if (feed - 1 >= from) return {feed - 1, 2};
    at = feed + 1;
  }
  return {};
}

// The start of the match's line: just after the nearest line feed at or
// before the match's first byte, but never before the image cursor. An
// empty match has no first byte, so its search begins with the byte in
// front of it: a line never starts after its match, and a widened match
// never spans a negative number of bytes. The image is asked for a chunk at
// a time, going back.
int64_t line_start_of(Run& run, int64_t match_start, int64_t match_length, int64_t cursor) {
  if (match_length == 0) {
    if (match_start == cursor) return cursor;
    --match_start;
  }
  const FileImage& image = run.image;
  int64_t at = match_start;
  for (;;) {
    int64_t low = cursor;
    if (image.source != platform::kNoFile) {
      const int64_t chunk = at / image.chunk_size * image.chunk_size;
      if (chunk > low) low = chunk;
    }
    if (!need(run, low, at + 1)) return cursor;
    const char* bottom = image.at(low);
    for (const char* p = image.at(at); p >= bottom; --p) {
      if (*p == '\n') return low + (p - bottom) + 1;
      if (p == bottom) break;
    }
    if (low == cursor) return cursor;
    at = low - 1;
  }
}

// The DOS end-of-file mark, which old files carry as their last byte.
constexpr char kEndOfFileMark = 0x1a;

// The image's last byte, or 0 when it could not be read.
char last_byte(Run& run) {
  const int64_t end = run.image.size();
  return end > 0 && need(run, end - 1, end) ? *run.image.at(end - 1) : 0;
}

// The end of the line holding a match that ends at `match_end`: where the
// next line break begins. Without one the line runs to the image end, so a
// last line without a break is edited whole, like any other. Two bytes stay
// outside it: an end-of-file mark, which must stay last, and the line feed
// of a CR LF whose CR the match took in (that pair ends no line). A match
// that takes in the image's last byte always ends its line at the image
// end, or the edit would consume less than the match and the scan would
// find it again forever.
int64_t line_end_of(Run& run, const LineBreak& line_break, int64_t match_end) {
  const int64_t end = run.image.size();
  if (line_break.length > 0) return line_break.at;
  if (match_end == end) return end;
  const char last = last_byte(run);
  if (last == kEndOfFileMark || (last == '\n' && match_end == end - 1)) return end - 1;
  return end;
}

}  // namespace

void widen_to_line(Run& run) {
  const Settings& s = run.settings;
  MatchState& m = run.match;
  const int64_t cursor = run.writer.cursor;
  const int64_t end = run.image.size();
  const int64_t match_end = m.start + m.length;

  int64_t line_start = line_start_of(run, m.start, m.length, cursor);
  const LineBreak line_break = find_line_break(run, match_end, end);
  int64_t line_end = line_end_of(run, line_break, match_end);
  m.line_break = line_break.length;

  if (s.line_filter == 'M') {
    // -M writes the whole modified line, whatever part of it -D replaces.
    m.line_start = line_start - cursor;
    m.line_length = line_end - line_start;
  }
  if (s.whole_lines && s.line_option == 'L') line_start = m.start;
  if (s.whole_lines && s.line_option == 'R') line_end = match_end;
  if (s.line_filter == 'U' || s.whole_lines) {
    m.offset = line_start - cursor;
    m.length = line_end - line_start;
  }
  m.break_behind = line_break.length > 0 && line_end == line_break.at;
  m.line_tail = -1;
  if (line_break.length == 0 && !(s.whole_lines && s.line_option == 'R'))
    m.line_tail = line_end < end && last_byte(run) == '\n' ? 1 : 0;
  if (s.whole_lines && run.texts.new_len == 0 && m.break_behind && s.line_option == 0) {
    m.length += line_break.length;
    m.crlf_consumed = true;
  }
}

void write_line_pieces(Run& run) {
  WriterState& w = run.writer;
  MatchState& m = run.match;
  int64_t& rest = run.counts.pending_line_rest;
  if (rest > 0 && m.offset >= rest) {
    write_image(run, w.cursor, rest);
    w.net_change += rest;
    w.bytes_written += rest;
    rest = 0;
  }
  if (m.offset > 0) {
    int64_t piece = m.offset - m.line_start;
    if (piece > 0)
      write_image(run, w.cursor + m.line_start, piece);
    else
      piece = 0;
    w.bytes_written += piece;
    w.net_change += piece - m.offset;
    w.cursor += m.offset;
  }
}

void note_line_rest(Run& run, int64_t offset, int64_t length) {
  const MatchState& m = run.match;
  // A line without a break of its own is written to the image end.
  const int64_t line_break = m.line_break > 0 ? m.line_break : 2;
  int64_t rest = (m.line_start + m.line_length + line_break) - (offset + length);
  const int64_t left = run.image.size() - run.writer.cursor;
  if (rest > left) rest = left;
  run.counts.pending_line_rest = rest > 0 ? rest : 0;
}

void finish_modified_lines(Run& run) {
  WriterState& w = run.writer;
  int64_t rest = run.counts.pending_line_rest;
  // Without an acted match nothing was written and nothing is dropped, so
  // an in-place target stays exactly as it was, all of it counted as
  // output; an output file stays empty.
  if (rest == 0 && run.counts.acted == 0) {
    if (!run.settings.output) {
      w.bytes_written += run.image.size() - w.cursor;
      w.cursor = run.image.size();
    }
    return;
  }
  if (rest > 0) write_image(run, w.cursor, rest);
  w.bytes_written += rest;
  w.net_change += rest - (run.image.size() - w.cursor);
  w.cursor = run.image.size();
  run.counts.pending_line_rest = 0;
}

void choose_written_break(Run& run) {
  const Settings& s = run.settings;
  // Finding out may mean reading the whole image, so only a run that can
  // write a line break asks; -U and report-only runs write none.
  const bool adds_lines = s.whole_lines && (s.append_insert || s.add_mode);
  const bool breaks_new_text = run.k.line_breaks > 0 && run.texts.new_len > 0;
  if (s.line_filter == 'U' || s.report_only() || (!adds_lines && !breaks_new_text)) return;
  if (find_line_break(run, 0, run.image.size()).length == 1) run.written_break = {"\n", 1};
}

}  // namespace qk
