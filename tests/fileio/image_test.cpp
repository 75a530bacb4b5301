// The streamed image: whatever a run asks for, in whatever order, the bytes
// it gets are the file's, and the address space the image takes stays a
// few chunks wide however large the file.
#include "fileio/image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>

#include "platform/platform.h"
#include "test_util.h"

namespace qk {
namespace {

constexpr int64_t kChunk = 4096;

std::string numbered_bytes(int64_t size) {
  std::string content(static_cast<size_t>(size), '\0');
  for (int64_t i = 0; i < size; ++i)
    content[static_cast<size_t>(i)] = static_cast<char>((i * 2654435761u) >> 13);
  return content;
}

bool open_image(Run& run, const test::TempDir& dir, const std::string& content) {
  const std::string path = dir.file("image");
  test::write_file(path, content);
  run.image.chunk_size = kChunk;
  const platform::FileHandle file = platform::open_file(path.c_str(), platform::OpenMode::kRead);
  return open_streamed_image(run, file, static_cast<int64_t>(content.size()));
}

TEST(Image, EveryRequestGetsTheFilesBytesInABoundedWindow) {
  struct Case {
    const char* what;
    int64_t chunks;       // the file's size
    int64_t widest;       // the widest request, in chunks
    int64_t back;         // how far a request may start behind the cursor
    int64_t most_chunks;  // the address space the image may take
  };
  const Case cases[] = {
      {"a file narrower than the window", 5, 2, 0, 5},
      {"requests along a large file", 400, 3, 1, 16},
      {"requests reaching back to the cursor", 400, 4, 40, 16},
      {"requests wider than the window", 400, 30, 0, 33},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    const std::string content = numbered_bytes(c.chunks * kChunk - 123);
    const auto size = static_cast<int64_t>(content.size());
    qk::Run run;
    ASSERT_TRUE(open_image(run, dir, content));
    std::mt19937 random(7);
    auto below = [&](int64_t n) {
      return static_cast<int64_t>(random() % static_cast<uint64_t>(n));
    };
    int64_t widest_asked = 0;
    for (int step = 0; step < 3000 && run.writer.cursor < size; ++step) {
      run.writer.cursor = std::min(size - 1, run.writer.cursor + below(3 * kChunk / 2));
      const int64_t from =
          std::max<int64_t>(0, run.writer.cursor - below(c.back * kChunk + 1) - 1) +
          below(2 * kChunk);
      const int64_t to = std::min(size, from + 1 + below(c.widest * kChunk));
      if (from >= to) continue;
      widest_asked = std::max(widest_asked, to - from);
      ASSERT_TRUE(need(run, from, to)) << from << " " << to;
      ASSERT_EQ(std::string(run.image.at(from), static_cast<size_t>(to - from)),
                content.substr(static_cast<size_t>(from), static_cast<size_t>(to - from)))
          << "step " << step << ": " << from << " to " << to;
      ASSERT_LE(static_cast<int64_t>(run.image.allocated), c.most_chunks * kChunk);
      const int64_t end = need_from(run, from, size);
      ASSERT_GT(end, from);
      ASSERT_EQ(std::string(run.image.at(from), static_cast<size_t>(end - from)),
                content.substr(static_cast<size_t>(from), static_cast<size_t>(end - from)));
    }
    EXPECT_GT(widest_asked, (c.widest - 1) * kChunk);
    // A run whose output replaces its file holds all of it at last.
    ASSERT_TRUE(hold_whole_image(run));
    EXPECT_EQ(std::string(run.image.at(0), static_cast<size_t>(size)), content);
  }
}

}  // namespace
}  // namespace qk
