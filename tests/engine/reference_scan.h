// The matcher's rules read as plainly as possible, for the tests and the
// fuzz target that hold the fast scan to them.
#pragma once

#include <cstdint>
#include <string>

#include "state/run.h"

namespace qk::test {

// The first position at or after `from` where the prepared search text
// `text` matches in `image`, given the anchors, the wildcard and the case
// setting of `settings`; -1 when there is none.
inline int64_t reference_find(const std::string& image, const std::string& text, int64_t from,
                              const Settings& settings) {
  const auto size = static_cast<int64_t>(image.size());
  const auto n = static_cast<int64_t>(text.size());
  auto lower = [](unsigned char x) { return (x >= 'A' && x <= 'Z') ? x + 32 : x; };
  auto equal = [&](unsigned char want, unsigned char have) {
    if (settings.disabled[1] == 0 && want == static_cast<unsigned char>(settings.special[1]))
      return true;
    return settings.case_sensitive ? want == have : lower(want) == lower(have);
  };
  auto at = [&](int64_t i) { return static_cast<unsigned char>(image[static_cast<size_t>(i)]); };
  for (int64_t c = from; c < size && c + n <= size; ++c) {
    int64_t i = 0;
    while (i < n && equal(static_cast<unsigned char>(text[static_cast<size_t>(i)]), at(c + i)))
      ++i;
    if (i < n) continue;
    if (settings.start_anchor && c > 0 && at(c - 1) != '\n') continue;
    // The end-of-line anchor: a carriage return behind the match, or a line
    // feed that does not end a CR LF pair, or the image end.
    const int64_t e = c + n;
    if (settings.end_anchor && e < size && at(e) != '\r' &&
        !(at(e) == '\n' && (e == 0 || at(e - 1) != '\r')))
      continue;
    return c;
  }
  return -1;
}

}  // namespace qk::test
