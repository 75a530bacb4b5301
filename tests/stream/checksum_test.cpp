// The journal's checksum: cut into pieces any way, it is the checksum of
// the whole; changed through change(), it is the checksum of the changed
// bytes, whatever their place (in a lane, across words, in the padded last
// block) and in whatever order the changes come.
#include "stream/checksum.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace qk {
namespace {

TEST(Checksum, PiecesAndChangesGiveTheChecksumOfTheBytes) {
  std::mt19937 random(4711);
  for (int round = 0; round < 300; ++round) {
    std::string bytes(random() % 3000, '\0');
    for (char& b : bytes)
      b = static_cast<char>(random());
    const uint64_t seed = random();
    Checksum pieces(seed);
    for (size_t at = 0; at < bytes.size();) {
      const size_t n = std::min<size_t>(bytes.size() - at, random() % 100);
      pieces.add(bytes.data() + at, n);
      at += n;
    }
    ASSERT_EQ(pieces.value(), checksum(bytes.data(), bytes.size(), seed));
    std::string changed = bytes;
    Checksum changes(0);
    for (int c = 0; c < 20 && !bytes.empty(); ++c) {
      const size_t at = random() % bytes.size();
      const size_t n = std::min<size_t>(bytes.size() - at, 1 + random() % 20);
      std::string now = changed.substr(at, n);
      for (char& b : now)
        if (random() % 3) b = static_cast<char>(random());
      changes.change(at, reinterpret_cast<const unsigned char*>(changed.data() + at),
                     reinterpret_cast<const unsigned char*>(now.data()), n);
      changed.replace(at, n, now);
    }
    Checksum written = pieces;
    written.add_changes(changes);
    EXPECT_EQ(written.value(), checksum(changed.data(), changed.size(), seed)) << round;
  }
}

}  // namespace
}  // namespace qk
