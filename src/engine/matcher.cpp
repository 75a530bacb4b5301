// The pattern matcher. The scan tests two literal bytes of the search text
// at every position, the two that are rarest in ordinary text (both cases of
// a letter at once when case is ignored), then compares the other bytes,
// wildcards matching any byte, and tests the line anchors. Testing the
// rarest bytes keeps a search text like "aaa...ab" from costing its whole
// length at every byte of a file full of 'a', and two bytes make a false
// stop rare where each alone is common. In the line modes a match is then
// widened to its line.
#include "engine/matcher.h"

#include <algorithm>
#include <cstring>

#include "engine/byte_frequency.h"
#include "engine/pair_scan.h"
#include "engine/whole_line.h"
#include "fileio/image.h"

namespace qk {

namespace {

// The tested bytes are looked for among the first bytes only: a longer
// search text gains nothing from rarer bytes further in.
constexpr uint32_t kPairWindow = 4096;

// A first byte this rare (per 100 million) is tested alone: a vector step
// with one compare instead of two saves more than its few false stops cost
// (measured with the benchmark's rare words).
constexpr uint32_t kRareAlone = 400000;

void choose_pair(SearchPlan& plan, const uint8_t* text, uint32_t n) {
  auto literal = [&](uint32_t i) { return !(plan.has_wildcards && text[i] == plan.wildcard); };
  auto frequency = [&](uint32_t i) { return byte_frequency(text[i], plan.ignore_case); };
  auto same_byte = [&](uint32_t i, uint32_t j) {
    return text[i] == text[j] || (plan.ignore_case && (text[i] | 0x20) == (text[j] | 0x20) &&
                                  (text[i] | 0x20) >= 'a' && (text[i] | 0x20) <= 'z');
  };
  int64_t first = -1;
  for (uint32_t i = 0; i < n && (i < kPairWindow || first < 0); ++i)
    if (literal(i) && (first < 0 || frequency(i) < frequency(static_cast<uint32_t>(first))))
      first = i;
  plan.all_wildcards = first < 0;
  if (plan.all_wildcards) return;
  // The second is the rarest other byte value, or else the same value at
  // another position, or else the first once more. Of bytes about as rare
  // (within an eighth), the one furthest from the first wins: neighbours
  // make common pairs ("mp" in "implementation" stops four times as often
  // as its "p" and second "m").
  int64_t second = -1;
  const uint32_t window = std::max<uint32_t>(kPairWindow, static_cast<uint32_t>(first) + 1);
  auto distance = [&](int64_t i) { return i > first ? i - first : first - i; };
  for (int pass = 0; pass < 2 && second < 0; ++pass) {
    for (uint32_t i = 0; i < n && i < window; ++i) {
      if (!literal(i) || i == first) continue;
      if (pass == 0 && same_byte(i, static_cast<uint32_t>(first))) continue;
      if (second < 0) {
        second = i;
        continue;
      }
      const uint64_t now = frequency(i);
      const uint64_t best = frequency(static_cast<uint32_t>(second));
      const bool rarer = now + now / 8 < best;
      const bool as_rare = now <= best + best / 8;
      if (rarer || (as_rare && distance(i) > distance(second))) second = i;
    }
  }
  plan.pair = second >= 0 && frequency(static_cast<uint32_t>(first)) >= kRareAlone;
  if (!plan.pair) second = first;
  auto fold_of = [&](int64_t i) -> uint8_t {
    const uint8_t lower = text[i] | 0x20;
    return plan.ignore_case && lower >= 'a' && lower <= 'z' ? 0x20 : 0;
  };
  plan.first = first;
  plan.second = second;
  plan.first_fold = fold_of(first);
  plan.second_fold = fold_of(second);
  plan.first_byte = text[first] | plan.first_fold;
  plan.second_byte = text[second] | plan.second_fold;
}

void build_plan(Run& run) {
  SearchPlan& plan = run.plan;
  const Settings& s = run.settings;
  const uint32_t n = run.texts.search_len;
  const auto* text = reinterpret_cast<const uint8_t*>(run.texts.search);
  plan.ignore_case = s.case_sensitive == 0;
  plan.wildcard = static_cast<uint8_t>(s.special[1]);
  const bool wildcard_on = s.disabled[1] == 0;
  plan.has_wildcards = wildcard_on && std::memchr(text, plan.wildcard, n) != nullptr;
  choose_pair(plan, text, n);
  plan.word_compare = n <= 8;
  if (plan.word_compare) {
    uint8_t want[8] = {};
    uint8_t fold[8] = {};
    uint8_t care[8] = {};
    for (uint32_t i = 0; i < n; ++i) {
      const uint8_t lower = text[i] | 0x20;
      if (plan.has_wildcards && text[i] == plan.wildcard) continue;
      care[i] = 0xFF;
      fold[i] = plan.ignore_case && lower >= 'a' && lower <= 'z' ? 0x20 : 0;
      want[i] = text[i] | fold[i];
    }
    std::memcpy(&plan.word_want, want, 8);
    std::memcpy(&plan.word_fold, fold, 8);
    std::memcpy(&plan.word_care, care, 8);
  }
  if (plan.path == ScanPath::kBest) plan.path = best_scan_path();
  plan.ready = true;
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

// The image's quick test first: a find that starts inside the bytes in
// memory (most do, where matches are dense) asks the image for nothing.
int64_t ready_from(Run& run, int64_t at, int64_t limit) {
  const FileImage& image = run.image;
  if (at >= image.ready_begin && at < image.ready_end) return std::min(image.ready_end, limit);
  return need_from(run, at, limit);
}

const uint8_t* address(const Run& run, int64_t offset) {
  return reinterpret_cast<const uint8_t*>(run.image.at(offset));
}

}  // namespace

void find_match(Run& run, int64_t start_offset) {
  const Settings& s = run.settings;
  const int64_t image_end = run.image.size();
  const int64_t cursor = run.writer.cursor;
  const int64_t n = run.texts.search_len;
  const auto* text = reinterpret_cast<const uint8_t*>(run.texts.search);
  MatchState& m = run.match;
  m.offset = kNoMatch;
  m.crlf_consumed = false;

  const int64_t available = image_end - cursor;
  if (start_offset >= available || available - start_offset < n) return;
  if (!run.plan.ready) build_plan(run);
  const SearchPlan& plan = run.plan;
  const int64_t reach = std::max(plan.first, plan.second);
  const int64_t last = image_end - n;  // the last candidate that fits

  int64_t c = cursor + start_offset;
  while (c <= last) {
    bool verified = plan.all_wildcards;
    if (!plan.all_wildcards) {
      // The bytes in memory from c on are scanned in one go, candidates
      // whose whole text lies there verified in the same loop; the image
      // is asked for more as the scan gets to the end of them.
      const int64_t ready = ready_from(run, c, image_end);
      if (ready == c) return;  // the image could not be read
      const int64_t count = std::min<int64_t>(last - c + 1, (ready - c) - reach);
      if (count > 0) {
        const uint8_t* from = address(run, c);
        const uint8_t* hit = find_candidate(plan, text, n, from, count, (ready - c) - n + 1);
        if (!hit) {
          c += count;
          continue;
        }
        c += hit - from;
        verified = c + n <= ready;
      }
    }
    // The candidate, and the bytes on either side that the line anchors
    // look at, may lie across a chunk edge.
    if (!need(run, (s.start_anchor || s.end_anchor) && c > 0 ? c - 1 : c,
              s.end_anchor && c + n < image_end ? c + n + 1 : c + n))
      return;
    const uint8_t* at = address(run, c);
    if (!verified && !text_matches_at(plan, text, n, at)) {
      ++c;
      continue;
    }
    if (s.start_anchor && c != 0 && at[-1] != '\n') {
      ++c;
      continue;
    }
    // The end-of-line anchor holds before a CR, and before a line feed with
    // no CR in front of it (not even the match's own last byte): the line
    // feed of a CR LF is no second line end.
    if (s.end_anchor && c + n != image_end && at[n] != '\r' &&
        (at[n] != '\n' || (c + n > 0 && at[n - 1] == '\r'))) {
      ++c;
      continue;
    }
    if (c >= image_end) return;  // an empty search text needs a byte under it
    m.offset = c - cursor;
    m.length = n;
    m.start = c;
    if (s.whole_lines || s.line_filter) widen_to_line(run);
    return;
  }
}

int64_t find_matches(Run& run, int64_t from, int64_t window_begin, int64_t window_end,
                     const uint8_t** found, int64_t cap, int64_t* resume) {
  const Settings& s = run.settings;
  const int64_t n = run.texts.search_len;
  *resume = from;
  if (!run.plan.ready) build_plan(run);
  const SearchPlan& plan = run.plan;
  if (plan.all_wildcards || n == 0) return 0;
  const FileImage& image = run.image;
  AnchorTest anchors;
  anchors.start = s.start_anchor != 0;
  anchors.end = s.end_anchor != 0;
  if (anchors.start && from != 0 && from - 1 < window_begin) return 0;
  // The last candidate whose text, and the byte behind it the end anchor
  // reads, lie in the window.
  const int64_t last = window_end - n - (anchors.end && window_end < image.size() ? 1 : 0);
  if (last < from) return 0;
  // The image's own ends, where they lie in the window (else out of reach
  // of the anchors' tests).
  anchors.image_start = window_begin == 0 ? address(run, 0) : nullptr;
  anchors.image_end = window_end == image.size() ? address(run, window_end) : nullptr;
  const uint8_t* next = nullptr;
  const int64_t count = collect_matches(plan, reinterpret_cast<const uint8_t*>(run.texts.search), n,
                                        address(run, from), last - from + 1,
                                        address(run, window_end), anchors, found, cap, &next);
  *resume = image.offset_of(reinterpret_cast<const char*>(next));
  return count;
}

}  // namespace qk
