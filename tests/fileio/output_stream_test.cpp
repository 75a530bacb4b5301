// The output stream against a model: whatever mix of small and large
// writes, forward seeks and returns to the start it gets, the file must end
// up with exactly the bytes written, whether they went through the buffer,
// straight to the file or through the mapped window.
#include "fileio/output_stream.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/platform.h"
#include "test_util.h"

namespace qk {
namespace {

TEST(OutputStream, MatchesAModelOfTheFile) {
  std::mt19937 random(11);
  for (int round = 0; round < 8; ++round) {
    test::TempDir dir;
    const std::string path = dir.file("f");
    // Large enough to be mapped; the first rounds use a small file instead.
    const size_t size = round < 2 ? 5000 : (3u << 20) + random() % 100000;
    std::string model(size, '.');
    test::write_file(path, model);
    OutputStream out;
    out.attach(platform::open_file(path.c_str(), platform::OpenMode::kUpdate), false);
    out.map_existing(static_cast<int64_t>(size));
    for (int step = 0; step < 1500; ++step) {
      const int action = static_cast<int>(random() % 10);
      if (action < 4) {
        out.seek_relative(random() % 3000);
      } else if (action == 4 && step % 500 == 0) {
        out.seek_start();
      } else {
        const size_t length = action == 9 ? random() % 100000 : 1 + random() % 40;
        std::string data(length, static_cast<char>('a' + random() % 26));
        const size_t at = static_cast<size_t>(out.position());
        out.write(data.data(), static_cast<int64_t>(length));
        if (model.size() < at + length) model.resize(at + length, '\0');
        model.replace(at, length, data);
      }
    }
    ASSERT_TRUE(out.close());
    ASSERT_EQ(test::read_file(path), model) << "round " << round;
  }
}

TEST(OutputStream, WritesToAReadOnlyHandleFail) {
  test::TempDir dir;
  const std::string path = dir.file("f");
  test::write_file(path, std::string(2 << 20, 'x'));
  OutputStream out;
  out.attach(platform::open_file(path.c_str(), platform::OpenMode::kRead), false);
  out.map_existing(2 << 20);
  out.seek_relative(100);
  out.write("abc", 3);
  EXPECT_FALSE(out.close());
  EXPECT_EQ(test::read_file(path), std::string(2 << 20, 'x'));
}

}  // namespace
}  // namespace qk
