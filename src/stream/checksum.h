// The journal's checksum: fast enough to run over every byte a rewrite
// keeps, strong enough to tell a record that was cut short or damaged, or
// bytes that are not the ones a record expects, from the right ones. It is
// no defence against someone who forges a journal on purpose; the journal
// refuses files it does not own for that.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qk {

// The checksum of bytes that come in pieces: the same as of all the
// pieces one after the other, however they are cut.
class Checksum {
 public:
  explicit Checksum(uint64_t seed);
  void add(const void* data, size_t size) {
    // A few bytes at a time is the common case: a short edit.
    if (pending_size_ + size < kBlock) {
      const auto* p = static_cast<const unsigned char*>(data);
      for (size_t i = 0; i < size; ++i)
        pending_[pending_size_ + i] = p[i];
      pending_size_ += size;
      total_ += size;
      return;
    }
    add_more(data, size);
  }
  // Makes it the checksum of the same bytes with `n` of them changed, at
  // `at` from the start of all that is added (before or after they are):
  // from `before` to `after`. Its sums are linear in the words, so this
  // costs a few operations a byte, however long the bytes are.
  void change(uint64_t at, const unsigned char* before, const unsigned char* after, size_t n) {
    for (size_t j = 0; j < n; ++j) {
      if (before[j] == after[j]) continue;
      const uint64_t word = (at + j) / 8;
      const uint64_t delta = static_cast<uint64_t>(static_cast<int64_t>(after[j]) - before[j])
                             << (8 * ((at + j) % 8));
      change_sum_[word % kLanes] += delta;
      change_weight_[word % kLanes] += word / kLanes * delta;
    }
  }
  // Takes over the changes made to `other`.
  void add_changes(const Checksum& other) {
    for (size_t lane = 0; lane < kLanes; ++lane) {
      change_sum_[lane] += other.change_sum_[lane];
      change_weight_[lane] += other.change_weight_[lane];
    }
  }
  uint64_t value() const;

 private:
  void add_more(const void* data, size_t size);
  void add_block(const unsigned char* block);

  static constexpr size_t kLanes = 8;
  static constexpr size_t kBlock = 8 * kLanes;

  uint64_t seed_;
  uint64_t sum_[kLanes];
  uint64_t sums_[kLanes] = {};
  unsigned char pending_[kBlock];
  size_t pending_size_ = 0;
  uint64_t total_ = 0;
  // What change() adds to each lane's sum, and that weighted by block.
  uint64_t change_sum_[kLanes] = {};
  uint64_t change_weight_[kLanes] = {};
};

uint64_t checksum(const void* data, size_t size, uint64_t seed);

}  // namespace qk
