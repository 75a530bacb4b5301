// The matcher's inner loop: a scan that tests two bytes of the search text
// at their own offsets from every candidate position at once, sixteen or
// thirty-two positions per vector step, and compares the whole text only
// where both agree. With the two rarest bytes of the text, a false stop is
// rare even in text where each of them alone is common.
#pragma once

#include <cstdint>

#include "state/run.h"

namespace qk {

// The fastest path this processor runs.
ScanPath best_scan_path();
bool scan_path_runs_here(ScanPath path);

// Whether the search text matches at `at` (all n bytes readable): bytes
// equal, or equal but for ASCII case when case is ignored, wildcards
// matching any byte.
inline bool text_matches_at(const SearchPlan& plan, const uint8_t* text, int64_t n,
                            const uint8_t* at) {
  for (int64_t i = 0; i < n; ++i) {
    const uint8_t want = text[i];
    const uint8_t have = at[i];
    if (have == want) continue;
    if (plan.has_wildcards && want == plan.wildcard) continue;
    const uint8_t lower = want | 0x20;
    if (plan.ignore_case && (have | 0x20) == lower && lower >= 'a' && lower <= 'z') continue;
    return false;
  }
  return true;
}

// The line anchors of a match, tested on the image as loaded: the start
// one holds at the image start or after a line feed; the end one at the
// image end, before a CR, and before a line feed with no CR in front of
// it (not even the match's own last byte).
struct AnchorTest {
  bool start = false;
  bool end = false;
  // The image's first byte and its end, or nullptr where they lie outside
  // the bytes scanned.
  const uint8_t* image_start = nullptr;
  const uint8_t* image_end = nullptr;
};

inline bool anchors_hold(const AnchorTest& anchors, const uint8_t* at, int64_t n) {
  if (anchors.start && at != anchors.image_start && at[-1] != '\n') return false;
  if (!anchors.end || at + n == anchors.image_end || at[n] == '\r') return true;
  return at[n] == '\n' && !((n > 0 || at != anchors.image_start) && at[n - 1] == '\r');
}

// Every match among the `count` candidate positions from `from` on, in
// order, each starting at least `n` bytes after the one before (as finds
// that each begin behind the last match give them), up to `cap` of them
// into `found`; returns how many. `*resume` is where the find for the next
// match begins: behind the last match, or past the last candidate when
// none is left. Every candidate's text, and the bytes its anchors look at,
// must be readable, and so must every byte before `readable_end`.
int64_t collect_matches(const SearchPlan& plan, const uint8_t* text, int64_t n, const uint8_t* from,
                        int64_t count, const uint8_t* readable_end, const AnchorTest& anchors,
                        const uint8_t** found, int64_t cap, const uint8_t** resume);

// Looks at the `count` candidate positions from `from` on and returns the
// first whose two plan bytes match and, among the first `verified`
// candidates, whose whole text matches too; a candidate at or past
// `verified` is returned on its two bytes alone, for the caller to read
// its other bytes first. nullptr when there is none. The two tested bytes
// of every candidate must be readable; the whole text of the first
// `verified` ones.
const uint8_t* find_candidate(const SearchPlan& plan, const uint8_t* text, int64_t n,
                              const uint8_t* from, int64_t count, int64_t verified);

}  // namespace qk
