// The new-text builder. At each acted match it writes the new text (split
// at special character 2, where the matched text goes in), or the new text
// beside the matched text or line for -A and -I, pads it for -N, and lets a
// longer text overwrite the bytes after the match for -O. It then consumes
// the match by moving the image cursor past it.
#include "newtext/builder.h"

#include <cstring>

#include "fileio/image.h"
#include "fileio/writer.h"
#include "newtext/add_text.h"
#include "newtext/special_functions.h"

namespace qk {

namespace {

void write_piece(Run& run, const char* piece, int64_t size) {
  if (size <= 0) return;
  if (run.k.line_breaks > 0) {
    write_with_line_breaks(run, piece, size);
  } else {
    write_output(run, piece, size);
  }
}

// Consumption never reaches past the image end.
void clamp_to_image(Run& run) {
  const int64_t left = run.image.size() - run.writer.cursor;
  if (run.match.length > left) run.match.length = left;
}

}  // namespace

int64_t write_line_break(Run& run) {
  const WrittenBreak& line_break = run.written_break;
  write_output(run, line_break.bytes, line_break.length);
  return line_break.length;
}

int64_t write_new_text_pieces(Run& run, int64_t (*insert)(Run&)) {
  const Texts& t = run.texts;
  const Settings& s = run.settings;
  int64_t count = 0;
  if (t.new_len == 0) return 0;
  const char* text = t.new_text;
  const char* end = text + t.new_len;
  const bool search = s.disabled[2] == 0 && !run.counts.no_insertion_memo;
  const char* mark =
      search ? static_cast<const char*>(std::memchr(text, s.special[2], t.new_len)) : nullptr;
  if (search && !mark) run.counts.no_insertion_memo = true;
  while (mark) {
    write_piece(run, text, mark - text);
    count += mark - text;
    ++run.counts.ampersand;
    count += insert(run);
    text = mark + 1;
    mark =
        static_cast<const char*>(std::memchr(text, s.special[2], static_cast<size_t>(end - text)));
  }
  write_piece(run, text, end - text);
  count += end - text;
  return count;
}

int64_t insert_matched_text(Run& run) {
  const Settings& s = run.settings;
  const MatchState& m = run.match;
  const int64_t cursor = run.writer.cursor;
  const int64_t n = run.texts.search_len;
  if (s.whole_line_amp) {
    write_image(run, cursor, m.length);
    return m.length;
  }
  if (s.amp_case == 0) {
    write_image(run, m.start, n);
    return n;
  }
  if (!need(run, m.start, m.start + n)) return 0;
  // Nothing below asks the image for more.
  const char* matched = run.image.at(m.start);
  switch (s.amp_case) {
    case 'U':
    case 'L': {
      const char low = s.amp_case == 'U' ? 'a' : 'A';
      for (int64_t i = 0; i < n; ++i) {
        char byte = matched[i];
        if (byte >= low && byte <= low + 25) byte = static_cast<char>(byte ^ 0x20);
        write_output(run, byte);
      }
      return n;
    }
    default: {
      int64_t written = 0;
      for (int64_t i = 0; i < n; ++i) {
        char byte = run.texts.search[i];
        if (s.disabled[1] == 0 && byte == s.special[1]) byte = matched[i];
        if ((s.disabled[3] == 0 && byte == s.special[3]) ||
            (s.disabled[4] == 0 && byte == s.special[4]))
          continue;
        write_output(run, byte);
        ++written;
      }
      return written;
    }
  }
}

int64_t emit_new_text(Run& run) {
  run.counts.expansion = 0;
  int64_t count = write_new_text_pieces(run, insert_matched_text);
  if (run.settings.padding) {
    const char pad = static_cast<char>(run.settings.pad_byte);
    for (; count < run.match.length; ++count)
      write_output(run, pad);
  }
  return count + run.counts.expansion;
}

int64_t write_new_text(Run& run) {
  const Settings& s = run.settings;
  MatchState& m = run.match;
  WriterState& w = run.writer;
  run.counts.expansion = 0;
  int64_t written = 0;
  if (s.line_filter == 'U') {
    // The line goes with its line break; nothing is written, nor added.
    // A last line goes with what lies behind it but an end-of-file mark;
    // where -D:R ends the consumed bytes before the break, two more bytes
    // go, as many as a CR LF has.
    if (m.offset == kNoMatch) {
      m.length = 0;
    } else {
      if (!m.crlf_consumed)
        m.length += m.break_behind ? m.line_break : m.line_tail >= 0 ? m.line_tail : 2;
      clamp_to_image(run);
    }
  } else if (s.add_mode && m.offset == kNoMatch) {
    written = write_added_text(run);
  } else if (s.append_insert == 'I') {
    written = emit_new_text(run);
    if (s.whole_lines) {
      written += write_line_break(run);
      write_image(run, w.cursor, m.length);
      written += m.length;
    } else {
      write_image(run, w.cursor, run.texts.search_len);
      written += run.texts.search_len;
    }
  } else if (s.append_insert == 'A') {
    if (s.whole_lines) {
      write_image(run, w.cursor, m.length);
      written = m.length + write_line_break(run);
    } else {
      write_image(run, w.cursor, run.texts.search_len);
      written = run.texts.search_len;
    }
    written += emit_new_text(run);
  } else {
    written = emit_new_text(run);
    if (!s.whole_lines && s.overwrite && written > run.texts.search_len) {
      m.length += written - run.texts.search_len;
      clamp_to_image(run);
    }
  }
  if (m.length != kAddedMarker) w.cursor += m.length;
  return written;
}

void convert_apostrophes(Run& run) {
  char* text = run.texts.new_text;
  for (uint32_t i = 0; i < run.texts.new_len; ++i)
    if (text[i] == '\'') text[i] = '"';
}

bool plan_new_text_pieces(Run& run) {
  const Settings& s = run.settings;
  const Texts& t = run.texts;
  BatchState& b = run.batch;
  b.pieces.clear();
  if (s.whole_lines || s.line_filter || run.k.line_breaks > 0 || s.reset_per_match) return false;
  const int64_t n = t.search_len;
  std::vector<NewTextPiece> text;
  int64_t count = 0;
  b.ampersands = 0;
  b.sets_memo = false;
  const bool search = s.disabled[2] == 0 && !run.counts.no_insertion_memo;
  const char* at = t.new_text;
  const char* end = t.new_text + t.new_len;
  const char* mark = search && t.new_len > 0
                         ? static_cast<const char*>(std::memchr(at, s.special[2], t.new_len))
                         : nullptr;
  b.sets_memo = search && t.new_len > 0 && !mark;
  // The insertion of -&:U, :L and :C changes the matched text byte by byte.
  if (mark && s.amp_case != 0 && !s.whole_line_amp) return false;
  for (; mark; mark = static_cast<const char*>(
                   std::memchr(at, s.special[2], static_cast<size_t>(end - at)))) {
    if (mark > at) text.push_back({at, mark - at, false});
    text.push_back({nullptr, n, true});
    count += (mark - at) + n;
    ++b.ampersands;
    at = mark + 1;
  }
  if (end > at) text.push_back({at, end - at, false});
  count += end - at;
  b.padding.clear();
  if (s.padding && count < n) {
    b.padding.assign(static_cast<size_t>(n - count), static_cast<char>(s.pad_byte));
    text.push_back({b.padding.data(), n - count, false});
    count = n;
  }
  if (!s.append_insert && s.overwrite && count > n) return false;
  b.written = count;
  if (s.append_insert == 'A') b.pieces.push_back({nullptr, n, true});
  b.pieces.insert(b.pieces.end(), text.begin(), text.end());
  if (s.append_insert == 'I') b.pieces.push_back({nullptr, n, true});
  if (s.append_insert) b.written += n;
  return true;
}

}  // namespace qk
