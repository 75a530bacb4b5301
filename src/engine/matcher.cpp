// The pattern matcher. The scan looks for the first literal byte of the
// search text (both cases of a letter at once when case is ignored), then
// verifies the rest, wildcards matching any byte, and tests the line
// anchors. In the line modes a match is then widened to its line.
#include "engine/matcher.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/whole_line.h"

namespace qk {

namespace {

inline uint8_t fold(uint8_t byte) {
  return (byte >= 'A' && byte <= 'Z') ? static_cast<uint8_t>(byte + 0x20) : byte;
}

inline bool is_letter(uint8_t byte) {
  return fold(byte) >= 'a' && fold(byte) <= 'z';
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
  plan.lead_wildcards = -1;
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t byte = static_cast<uint8_t>(run.texts.search[i]);
    plan.wildcard[i] = wildcard_on && byte == wildcard;
    plan.folded[i] = ignore_case ? fold(byte) : byte;
    if (!plan.wildcard[i] && plan.lead_wildcards < 0) plan.lead_wildcards = i;
  }
  if (plan.lead_wildcards < 0) plan.lead_wildcards = n;
  if (plan.lead_wildcards < static_cast<int64_t>(n)) {
    plan.first = plan.folded[static_cast<size_t>(plan.lead_wildcards)];
    plan.first_is_letter = ignore_case && is_letter(plan.first);
  }
  plan.ready = true;
}

// First position in [from, to) holding `lower` or its upper case.
const uint8_t* find_either_case(const uint8_t* from, const uint8_t* to, uint8_t lower) {
#if defined(__SSE2__)
  const __m128i want = _mm_set1_epi8(static_cast<char>(lower));
  const __m128i bit = _mm_set1_epi8(0x20);
  while (to - from >= 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_or_si128(bytes, bit), want));
    if (mask) return from + __builtin_ctz(static_cast<unsigned>(mask));
    from += 16;
  }
#endif
  // Setting bit 5 maps only 'A'..'Z' onto 'a'..'z' among the bytes that can
  // equal a lower-case letter, so one compare tests both cases.
  for (; from < to; ++from)
    if ((*from | 0x20) == lower) return from;
  return nullptr;
}

const uint8_t* find_first_byte(const SearchPlan& plan, const uint8_t* from, const uint8_t* to) {
  if (from >= to) return nullptr;
  if (plan.first_is_letter) return find_either_case(from, to, plan.first);
  return static_cast<const uint8_t*>(std::memchr(from, plan.first, static_cast<size_t>(to - from)));
}

bool rest_matches(const SearchPlan& plan, bool ignore_case, const uint8_t* candidate) {
  const size_t n = plan.folded.size();
  for (size_t i = static_cast<size_t>(plan.lead_wildcards) + 1; i < n; ++i) {
    if (plan.wildcard[i]) continue;
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
  const int64_t k = plan.lead_wildcards;
  MatchState& m = run.match;
  m.offset = kNoMatch;
  m.crlf_consumed = false;

  const int64_t available = image_end - cursor;
  if (start_offset >= available || available - start_offset < n) return;
  const uint8_t* last = image_end - n;  // the last candidate that fits

  const uint8_t* c = cursor + start_offset;
  while (c <= last) {
    if (k < n) {
      const uint8_t* hit = find_first_byte(plan, c + k, last + k + 1);
      if (!hit) return;
      c = hit - k;
      if (!rest_matches(plan, ignore_case, c)) {
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
