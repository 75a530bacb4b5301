// The output stream against a model: whatever mix of small and large
// writes, passes over unchanged bytes, forward seeks and returns to the
// start it gets, the file must end up with exactly the bytes written, its
// journal must put the file back, and no 4 KiB block without a written
// byte may be written at all.
#include "stream/output_stream.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "test_util.h"

namespace qk {
namespace {

TEST(OutputStream, MatchesAModelOfTheFile) {
  std::mt19937 random(11);
  for (int round = 0; round < 8; ++round) {
    test::TempDir dir;
    const std::string path = dir.file("f");
    const size_t size = round < 2 ? 5000 : (3u << 20) + random() % 100000;
    std::string model(size, '.');
    test::write_file(path, model);
    OutputStream out;
    out.attach(platform::open_file(path.c_str(), platform::OpenMode::kUpdate), false);
    out.journal().start(out.handle(), journal::places_of(out.handle(), path.c_str()),
                        static_cast<int64_t>(size), false);
    for (int step = 0; step < 1500; ++step) {
      const int action = static_cast<int>(random() % 10);
      const size_t at = static_cast<size_t>(out.position());
      if (action < 2) {
        out.seek_relative(random() % 3000);
      } else if (action < 4 && at < model.size()) {
        const size_t count = std::min<size_t>(random() % 12000, model.size() - at);
        out.pass_over(model.data() + at, static_cast<int64_t>(count));
      } else if (action == 4 && step % 500 == 0) {
        out.seek_start();
      } else {
        const size_t length = action == 9 ? random() % 100000 : 1 + random() % 40;
        std::string data(length, static_cast<char>('a' + random() % 26));
        out.write(data.data(), static_cast<int64_t>(length));
        if (model.size() < at + length) model.resize(at + length, '\0');
        model.replace(at, length, data);
      }
    }
    ASSERT_TRUE(out.close());
    ASSERT_EQ(test::read_file(path), model) << "round " << round;
    // Its journal puts the file back as it was before the first write.
    platform::FileHandle file = platform::open_file(path.c_str(), platform::OpenMode::kUpdate);
    ASSERT_TRUE(out.journal().play_back(file));
    ASSERT_TRUE(platform::close_file(file));
    out.journal().finish(false);
    ASSERT_TRUE(test::read_file(path) == std::string(size, '.')) << "round " << round;
  }
}

// Changed bytes at these offsets, everything between passed over: a lone
// change goes out as just its byte; changes in the same or neighbouring
// 4 KiB blocks go out as one write with the unchanged bytes between them;
// nothing else is written. Lone changes close together share one journal
// record (its head and length take 64 bytes, the journal's head 64, and
// each write its stretch and its entry a few bytes).
TEST(OutputStream, WritesOnlyChangedBytesAndTheGapsBetweenNearbyOnes) {
  struct Case {
    const char* what;
    std::vector<int64_t> changes;
    int64_t journal_at_most = 0;  // 0: not checked
  };
  const std::vector<Case> cases = {
      {"one byte mid-block", {5000}},
      {"first and last byte of a block", {8192, 12287}},
      {"neighbouring blocks", {4095, 4096}},
      {"blocks far apart", {10, 50000, 90000}},
      {"dense", {100, 300, 500, 700, 4200, 4300}},
      {"last byte of the file", {99999}},
      {"lone changes close together",
       {9000, 18000, 27000, 36000, 45000, 54000, 63000, 72000, 81000, 90000},
       64 + 64 + 10 * 8},
  };
  const int64_t size = 100000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    const std::string path = dir.file("f");
    std::string model(size, '.');
    test::write_file(path, model);
    OutputStream out;
    out.attach(platform::open_file(path.c_str(), platform::OpenMode::kUpdate), false);
    out.journal().start(out.handle(), journal::places_of(out.handle(), path.c_str()), size, false);
    int64_t expected = 0;
    int64_t at = 0;
    for (int64_t change : c.changes) {
      out.pass_over(model.data() + at, change - at);
      out.write("x", 1);
      model[static_cast<size_t>(change)] = 'x';
      const bool near =
          at > 0 && change / OutputStream::kBlock <= (at - 1) / OutputStream::kBlock + 1;
      expected += near ? change + 1 - at : 1;
      at = change + 1;
    }
    out.pass_over(model.data() + at, size - at);
    ASSERT_TRUE(out.close());
    EXPECT_EQ(out.physical_bytes(), expected);
    EXPECT_EQ(test::read_file(path), model);
    EXPECT_GT(out.journal().size(), 0);
    if (c.journal_at_most > 0) {
      EXPECT_LE(out.journal().size(), c.journal_at_most);
    }
    out.journal().finish(false);
  }
}

// A batch of stretches does what the calls it stands for do: the same
// file, the same bytes written and the same journal, whatever the mix of
// short and long passes and writes and wherever a batch begins and ends.
TEST(OutputStream, StretchesDoWhatTheirCallsDo) {
  std::mt19937 random(29);
  for (int round = 0; round < 6; ++round) {
    test::TempDir dir;
    const int64_t size = round < 2 ? 9000 : (3 << 20) + static_cast<int64_t>(random() % 5000);
    std::string original(static_cast<size_t>(size), '.');
    for (char& c : original)
      c = static_cast<char>('a' + random() % 3);
    const bool dense = round % 2 == 0;
    std::vector<std::string> texts;  // the new bytes, alive until the end
    std::vector<OutputStream::Stretch> all;
    for (int64_t at = 0; at < size;) {
      const int64_t pass = std::min<int64_t>(
          size - at, random() % 50 == 0 ? random() % 12000 : random() % (dense ? 20 : 300));
      if (pass > 0) all.push_back({original.data() + at, pass, at, true});
      at += pass;
      texts.push_back(std::string(random() % 8 == 0 ? random() % 3000 : 1 + random() % 4, 'X'));
      all.push_back(
          {nullptr, static_cast<int64_t>(texts.back().size()), OutputStream::kNewBytes, false});
      at += static_cast<int64_t>(texts.back().size());
    }
    for (size_t i = 0, k = 0; i < all.size(); ++i)
      if (!all[i].passed) all[i].data = texts[k++].data();

    auto run = [&](bool batched) {
      const std::string path = dir.file(batched ? "batched" : "one-by-one");
      test::write_file(path, original);
      OutputStream out;
      out.attach(platform::open_file(path.c_str(), platform::OpenMode::kUpdate), false);
      out.journal().start(out.handle(), journal::places_of(out.handle(), path.c_str()), size,
                          false);
      std::mt19937 cuts(round);
      for (size_t i = 0; i < all.size();) {
        const size_t n = std::min<size_t>(all.size() - i, 1 + cuts() % 64);
        if (batched) {
          EXPECT_TRUE(out.write_stretches(all.data() + i, n));
        } else {
          for (size_t k = i; k < i + n; ++k) {
            if (all[k].passed) {
              EXPECT_TRUE(out.pass_over(all[k].data, all[k].size));
            } else {
              out.write(all[k].data, all[k].size);
            }
          }
        }
        i += n;
      }
      EXPECT_TRUE(out.close());
      const std::string result = test::read_file(path);
      const int64_t physical = out.physical_bytes();
      const int64_t journal = out.journal().size();
      out.journal().finish(false);
      return std::make_tuple(result, physical, journal);
    };
    const auto one_by_one = run(false);
    const auto batched = run(true);
    EXPECT_TRUE(std::get<0>(batched) == std::get<0>(one_by_one)) << "round " << round;
    EXPECT_EQ(std::get<1>(batched), std::get<1>(one_by_one)) << "round " << round;
    EXPECT_EQ(std::get<2>(batched), std::get<2>(one_by_one)) << "round " << round;
    EXPECT_GT(std::get<2>(batched), 0);
  }
}

TEST(OutputStream, WritesToAReadOnlyHandleFail) {
  test::TempDir dir;
  const std::string path = dir.file("f");
  test::write_file(path, std::string(2 << 20, 'x'));
  OutputStream out;
  out.attach(platform::open_file(path.c_str(), platform::OpenMode::kRead), false);
  out.seek_relative(100);
  out.write("abc", 3);
  EXPECT_FALSE(out.close());
  EXPECT_EQ(test::read_file(path), std::string(2 << 20, 'x'));
}

}  // namespace
}  // namespace qk
