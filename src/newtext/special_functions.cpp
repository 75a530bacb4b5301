// Special function characters (-K). The -K pass replaces characters of the
// new text in place; line-break characters stay in the text and become the
// file's kind of line break only as the text is written. The generator is
// seeded with 1 once, so the same command line gives the same random
// characters on every run.
#include "newtext/special_functions.h"

#include <cstring>

#include "cmdline/text_sources.h"
#include "fileio/writer.h"
#include "newtext/builder.h"

namespace qk {

namespace {

bool is_random_mode(int mode) {
  return (mode >= 1 && mode <= 5) || mode == 'H' || mode == 'I';
}

char special_character(Run& run, int mode) {
  int r;
  switch (mode) {
    case 0:
      return '"';
    case 1:
      return static_cast<char>('0' + next_random(run) % 10);
    case 2:
      return static_cast<char>('a' + next_random(run) % 26);
    case 3:
      return static_cast<char>('A' + next_random(run) % 26);
    case 4:
      r = next_random(run) % 36;
      return static_cast<char>(r <= 25 ? 'a' + r : '0' + (r - 26));
    case 5:
      r = next_random(run) % 36;
      return static_cast<char>(r <= 25 ? 'A' + r : '0' + (r - 26));
    case 7:
      return '\x07';
    case 8:
      return '\x08';
    case 9:
      return '\0';
    case 'C':
      return '%';
    case 'G':
      return '>';
    case 'H':
      r = next_random(run) % 16;
      return static_cast<char>(r <= 9 ? '0' + r : 'a' + (r - 10));
    case 'I':
      r = next_random(run) % 16;
      return static_cast<char>(r <= 9 ? '0' + r : 'A' + (r - 10));
    case 'L':
      return '<';
    default:
      return 0;  // mode 6 is never applied here
  }
}

bool restores_per_match(const Run& run) {
  return run.settings.reset_per_match && run.k.count > 0 && run.counts.random_entry;
}

}  // namespace

int next_random(Run& run) {
  uint32_t& state = run.counts.random_state;
  state = state * 1103515245u + 12345u;
  return static_cast<int>((state >> 16) & 0x7FFF);
}

void setup_special_functions(Run& run) {
  Settings& s = run.settings;
  if (run.error_code != 0 || !s.special_k || run.texts.new_len == 0) return;
  for (int i = 0; i < run.k.count; ++i) {
    const KEntry& entry = run.k.entries[i];
    if (s.disabled[2] == 0 && entry.ch == s.special[2]) run.error_code = -2;
    if (is_random_mode(entry.mode)) run.counts.random_entry = true;
  }
  if (run.error_code != 0) return;
  if (restores_per_match(run) && s.l_new != 'L') {
    std::memcpy(run.texts.slots.saved_new, run.texts.new_text, run.texts.new_len);
    run.texts.slots.saved_new[run.texts.new_len] = '\0';
  }
  run.counts.random_state = 1;
  apply_special_functions(run);
}

void apply_special_functions(Run& run) {
  char* text = run.texts.new_text;
  for (uint32_t i = 0; i < run.texts.new_len; ++i) {
    for (int e = 0; e < run.k.count; ++e) {
      const KEntry& entry = run.k.entries[e];
      if (entry.mode == 6 || entry.ch != text[i]) continue;
      text[i] = special_character(run, entry.mode);
      break;
    }
  }
}

void reset_new_text(Run& run) {
  if (!restores_per_match(run)) return;
  if (run.settings.l_new == 'L') {
    if (!reload_new_text(run)) run.counts.scan_status = -7;
  } else {
    std::memcpy(run.texts.new_text, run.texts.slots.saved_new, run.texts.new_len);
  }
  apply_special_functions(run);
  if (run.settings.quote_change && run.texts.new_len != 0 && run.error_code == 0)
    convert_apostrophes(run);
}

void write_with_line_breaks(Run& run, const char* piece, int64_t size) {
  const KEntries& k = run.k;
  const char* run_start = piece;
  const char* end = piece + size;
  for (const char* at = piece; at < end; ++at) {
    bool line_break = false;
    for (int e = 0; e < k.line_breaks; ++e) {
      if (k.entries[e].ch == *at) {
        line_break = true;
        break;
      }
    }
    if (!line_break) continue;
    write_output(run, run_start, at - run_start);
    run.counts.expansion += write_line_break(run) - 1;
    run_start = at + 1;
  }
  write_output(run, run_start, end - run_start);
}

}  // namespace qk
