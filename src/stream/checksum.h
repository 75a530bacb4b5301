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
};

uint64_t checksum(const void* data, size_t size, uint64_t seed);

}  // namespace qk
