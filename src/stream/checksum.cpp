// Eight lanes of sums and sums of sums over 64-bit words (Fletcher's
// checksum, widened), so the order of the words counts as well as their
// values; the lanes keep the adds independent (and let the compiler put
// them in vector registers), and the end mixes them with the length.
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

Checksum::Checksum(uint64_t seed) : seed_(seed) {
  for (size_t lane = 0; lane < kLanes; ++lane)
    sum_[lane] = seed ^ (0x9e3779b97f4a7c15ull * (lane + 1));
}

void Checksum::add_block(const unsigned char* block) {
  uint64_t word[kLanes];
  std::memcpy(word, block, sizeof word);
  for (size_t lane = 0; lane < kLanes; ++lane) {
    sum_[lane] += word[lane];
    sums_[lane] += sum_[lane];
  }
}

void Checksum::add_more(const void* data, size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  total_ += size;
  if (pending_size_ > 0) {
    const size_t n = size < kBlock - pending_size_ ? size : kBlock - pending_size_;
    std::memcpy(pending_ + pending_size_, p, n);
    pending_size_ += n;
    p += n;
    size -= n;
    if (pending_size_ < kBlock) return;
    add_block(pending_);
    pending_size_ = 0;
  }
  for (; size >= kBlock; p += kBlock, size -= kBlock)
    add_block(p);
  std::memcpy(pending_, p, size);
  pending_size_ = size;
}

uint64_t Checksum::value() const {
  // The last few bytes, padded with zeros; the length tells them apart
  // from real zeros.
  Checksum last = *this;
  std::memset(last.pending_ + pending_size_, 0, kBlock - pending_size_);
  last.add_block(last.pending_);
  // A word of block b is in the sums of the blocks from b on: blocks is
  // their number, the last one padded with zeros.
  const uint64_t blocks = total_ / kBlock + 1;
  for (size_t lane = 0; lane < kLanes; ++lane) {
    last.sum_[lane] += change_sum_[lane];
    last.sums_[lane] += blocks * change_sum_[lane] - change_weight_[lane];
  }
  uint64_t h = mix(total_ ^ seed_);
  for (size_t lane = 0; lane < kLanes; ++lane)
    h = mix(h ^ last.sum_[lane]) + mix(last.sums_[lane] + static_cast<uint64_t>(lane));
  return h;
}

uint64_t checksum(const void* data, size_t size, uint64_t seed) {
  Checksum sum(seed);
  sum.add(data, size);
  return sum.value();
}

}  // namespace qk
