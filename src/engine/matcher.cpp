// The pattern matcher. The scan looks for the rarest literal byte of the
// search text (both cases of a letter at once when case is ignored), then
// verifies the other bytes, wildcards matching any byte, and tests the line
// anchors. Anchoring on a rare byte keeps a search text like "aaa...ab"
// from costing its whole length at every byte of a file full of 'a'. In the
// line modes a match is then widened to its line.
#include "engine/matcher.h"

#include <cstring>

#include "engine/byte_scan.h"
#include "engine/whole_line.h"
#include "fileio/image.h"

namespace qk {

namespace {

inline uint8_t fold(uint8_t byte) {
  return (byte >= 'A' && byte <= 'Z') ? static_cast<uint8_t>(byte + 0x20) : byte;
}

// The anchor is looked for among the first bytes only: a longer search
// text gains nothing from a better anchor further in.
constexpr uint32_t kAnchorWindow = 4096;

void build_plan(Run& run) {
  SearchPlan& plan = run.plan;
  const Settings& s = run.settings;
  const uint32_t n = run.texts.search_len;
  const auto* text = reinterpret_cast<const uint8_t*>(run.texts.search);
  plan.ignore_case = s.case_sensitive == 0;
  plan.wildcard = static_cast<uint8_t>(s.special[1]);
  const bool wildcard_on = s.disabled[1] == 0;
  plan.has_wildcards = wildcard_on && std::memchr(text, plan.wildcard, n) != nullptr;
  int best = 1 << 30;
  int64_t anchor = -1;
  for (uint32_t i = 0; i < n && (i < kAnchorWindow || anchor < 0); ++i) {
    if (plan.has_wildcards && text[i] == plan.wildcard) continue;
    const int frequency = byte_frequency(text[i], plan.ignore_case);
    if (frequency < best) {
      best = frequency;
      anchor = i;
    }
  }
  plan.all_wildcards = anchor < 0;
  plan.anchor = anchor < 0 ? 0 : anchor;
  if (!plan.all_wildcards) {
    const uint8_t byte = text[anchor];
    plan.anchor_byte = plan.ignore_case ? fold(byte) : byte;
    plan.anchor_is_letter = plan.ignore_case && plan.anchor_byte >= 'a' && plan.anchor_byte <= 'z';
  }
  plan.ready = true;
}

bool others_match(const SearchPlan& plan, const uint8_t* text, int64_t n,
                  const uint8_t* candidate) {
  for (int64_t i = 0; i < n; ++i) {
    const uint8_t want = text[i];
    if (i == plan.anchor || (plan.has_wildcards && want == plan.wildcard)) continue;
    if (plan.ignore_case ? fold(candidate[i]) != fold(want) : candidate[i] != want) return false;
  }
  return true;
}

}  // namespace

void prepare_search(Run& run) {
  Settings& s = run.settings;
  Texts& t = run.texts;
  if (t.search_len >= 1 && s.disabled[3] == 0 && t.search[0] == s.special[3]) {
    s.start_anchor = '#';
    std::memmove(t.search, t.search + 1, t.search_len - 1);
    --t.search_len;
    t.search[t.search_len] = '\0';
  }
  if (t.search_len >= 1 && s.disabled[4] == 0 && t.search[t.search_len - 1] == s.special[4]) {
    s.end_anchor = '!';
    --t.search_len;
    t.search[t.search_len] = '\0';
  }
  run.plan.ready = false;
}

namespace {

const uint8_t* need_from(Run& run, const uint8_t* at, const uint8_t* limit) {
  return reinterpret_cast<const uint8_t*>(
      qk::need_from(run, reinterpret_cast<const char*>(at), reinterpret_cast<const char*>(limit)));
}

bool need(Run& run, const uint8_t* from, const uint8_t* to) {
  return qk::need(run, reinterpret_cast<const char*>(from), reinterpret_cast<const char*>(to));
}

}  // namespace

void find_match(Run& run, int64_t start_offset) {
  const Settings& s = run.settings;
  const auto* image_start = reinterpret_cast<const uint8_t*>(run.image.start);
  const auto* image_end = reinterpret_cast<const uint8_t*>(run.image.end);
  const auto* cursor = reinterpret_cast<const uint8_t*>(run.writer.cursor);
  const int64_t n = run.texts.search_len;
  const auto* text = reinterpret_cast<const uint8_t*>(run.texts.search);
  MatchState& m = run.match;
  m.offset = kNoMatch;
  m.crlf_consumed = false;

  const int64_t available = image_end - cursor;
  if (start_offset >= available || available - start_offset < n) return;
  if (!run.plan.ready) build_plan(run);
  const SearchPlan& plan = run.plan;
  const int64_t r = plan.anchor;
  const uint8_t* last = image_end - n;  // the last candidate that fits

  const uint8_t* c = cursor + start_offset;
  while (c <= last) {
    if (!plan.all_wildcards) {
      // The anchor byte is looked for in the bytes in memory; the rest of
      // the image is asked for as the scan gets there.
      const uint8_t* ready = need_from(run, c + r, last + r + 1);
      if (ready == c + r) return;  // the image could not be read
      const uint8_t* hit = plan.anchor_is_letter ? scan_for_letter(c + r, ready, plan.anchor_byte)
                                                 : scan_for_byte(c + r, ready, plan.anchor_byte);
      if (!hit) {
        c = ready - r;
        continue;
      }
      c = hit - r;
    }
    // The candidate, and the bytes on either side that the line anchors
    // look at, may lie across a chunk edge.
    if (!need(run, (s.start_anchor || s.end_anchor) && c > image_start ? c - 1 : c,
              s.end_anchor && c + n < image_end ? c + n + 1 : c + n))
      return;
    if (!plan.all_wildcards) {
      if (!others_match(plan, text, n, c)) {
        ++c;
        continue;
      }
    }
    if (s.start_anchor && c != image_start && c[-1] != '\n') {
      ++c;
      continue;
    }
    // The end-of-line anchor holds before a CR, and before a line feed with
    // no CR in front of it (not even the match's own last byte): the line
    // feed of a CR LF is no second line end.
    if (s.end_anchor && c + n != image_end && c[n] != '\r' &&
        (c[n] != '\n' || (c + n > image_start && c[n - 1] == '\r'))) {
      ++c;
      continue;
    }
    if (c >= image_end) return;  // an empty search text needs a byte under it
    m.offset = c - cursor;
    m.length = n;
    m.start = reinterpret_cast<const char*>(c);
    if (s.whole_lines || s.line_filter) widen_to_line(run);
    return;
  }
}

}  // namespace qk
