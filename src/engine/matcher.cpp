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

namespace qk {

namespace {

inline uint8_t fold(uint8_t byte) {
  return (byte >= 'A' && byte <= 'Z') ? static_cast<uint8_t>(byte + 0x20) : byte;
}

void build_plan(Run& run) {
  SearchPlan& plan = run.plan;
  const Settings& s = run.settings;
  const uint32_t n = run.texts.search_len;
  const bool wildcard_on = s.disabled[1] == 0;
  const uint8_t wildcard = static_cast<uint8_t>(s.special[1]);
  const bool ignore_case = s.case_sensitive == 0;
  plan.folded.resize(n);
  plan.wildcard.resize(n);
  plan.checks.clear();
  int best = 1 << 30;
  int64_t anchor = -1;
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t byte = static_cast<uint8_t>(run.texts.search[i]);
    plan.wildcard[i] = wildcard_on && byte == wildcard;
    plan.folded[i] = ignore_case ? fold(byte) : byte;
    if (plan.wildcard[i]) continue;
    const int frequency = byte_frequency(byte, ignore_case);
    if (frequency < best) {
      best = frequency;
      anchor = i;
    }
  }
  plan.all_wildcards = anchor < 0;
  plan.anchor = anchor < 0 ? 0 : anchor;
  if (!plan.all_wildcards) {
    plan.anchor_byte = plan.folded[static_cast<size_t>(anchor)];
    plan.anchor_is_letter = ignore_case && plan.anchor_byte >= 'a' && plan.anchor_byte <= 'z';
    for (uint32_t i = 0; i < n; ++i)
      if (!plan.wildcard[i] && i != anchor) plan.checks.push_back(i);
  }
  plan.ready = true;
}

bool others_match(const SearchPlan& plan, bool ignore_case, const uint8_t* candidate) {
  for (uint32_t i : plan.checks) {
    uint8_t byte = ignore_case ? fold(candidate[i]) : candidate[i];
    if (byte != plan.folded[i]) return false;
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

void find_match(Run& run, int64_t start_offset) {
  if (!run.plan.ready) build_plan(run);
  const SearchPlan& plan = run.plan;
  const Settings& s = run.settings;
  const bool ignore_case = s.case_sensitive == 0;
  const auto* image_start = reinterpret_cast<const uint8_t*>(run.image.start);
  const auto* image_end = reinterpret_cast<const uint8_t*>(run.image.end);
  const auto* cursor = reinterpret_cast<const uint8_t*>(run.writer.cursor);
  const int64_t n = static_cast<int64_t>(plan.folded.size());
  const int64_t r = plan.anchor;
  MatchState& m = run.match;
  m.offset = kNoMatch;
  m.crlf_consumed = false;

  const int64_t available = image_end - cursor;
  if (start_offset >= available || available - start_offset < n) return;
  const uint8_t* last = image_end - n;  // the last candidate that fits

  const uint8_t* c = cursor + start_offset;
  while (c <= last) {
    if (!plan.all_wildcards) {
      const uint8_t* hit = plan.anchor_is_letter
                               ? scan_for_letter(c + r, last + r + 1, plan.anchor_byte)
                               : scan_for_byte(c + r, last + r + 1, plan.anchor_byte);
      if (!hit) return;
      c = hit - r;
      if (!others_match(plan, ignore_case, c)) {
        ++c;
        continue;
      }
    }
    if (s.start_anchor && c != image_start && c[-1] != '\n') {
      ++c;
      continue;
    }
    if (s.end_anchor && c + n != image_end && c[n] != '\r') {
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
