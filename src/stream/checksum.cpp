// Four lanes of sums and sums of sums over 64-bit words (Fletcher's
// checksum, widened), so the order of the words counts as well as their
// values; the lanes keep the adds independent, and the end mixes them with
// the length.
#include "stream/checksum.h"

#include <cstring>

namespace qk {

namespace {

inline uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  x ^= x >> 33;
  return x;
}

}  // namespace

uint64_t checksum(const void* data, size_t size, uint64_t seed) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint64_t sum[4] = {seed, seed ^ 0x9e3779b97f4a7c15ull, ~seed, seed + 1};
  uint64_t sums[4] = {0, 0, 0, 0};
  size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    uint64_t word[4];
    std::memcpy(word, p + i, sizeof word);
    for (int lane = 0; lane < 4; ++lane) {
      sum[lane] += word[lane];
      sums[lane] += sum[lane];
    }
  }
  // The last few bytes, padded with zeros; the length tells them apart
  // from real zeros.
  unsigned char tail[32] = {};
  std::memcpy(tail, p + i, size - i);
  for (int lane = 0; lane < 4; ++lane) {
    uint64_t word;
    std::memcpy(&word, tail + 8 * lane, sizeof word);
    sum[lane] += word;
    sums[lane] += sum[lane];
  }
  uint64_t h = mix(static_cast<uint64_t>(size) ^ seed);
  for (int lane = 0; lane < 4; ++lane)
    h = mix(h ^ sum[lane]) + mix(sums[lane] + static_cast<uint64_t>(lane));
  return h;
}

}  // namespace qk
