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
