// The restore journal against its promises: whatever writes a run made
// in place (scattered same-length changes, whole rewritten stretches,
// writes past the end, the same bytes written twice, a cut), playing the
// journal back leaves the file exactly as it was, and meanwhile the file
// read with the journal's originals laid over it is the original, as the
// image reads bytes a growing edit overwrote ahead of it. Each write keeps
// its originals either read from the file or handed in, as the image
// does.
#include "stream/journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "test_util.h"

namespace qk {
namespace {

// A file holding `bytes`, open for update, with a journal started on it.
struct JournaledFile {
  explicit JournaledFile(const std::string& bytes) {
    test::write_file(path, bytes);
    file = platform::open_file(path.c_str(), platform::OpenMode::kUpdate);
    journal.start(file, journal::places_of(file, path.c_str()), static_cast<int64_t>(bytes.size()),
                  false);
  }
  test::TempDir dir;
  const std::string path = dir.file("f");
  platform::FileHandle file = platform::kNoFile;
  RestoreJournal journal;
};

TEST(RestoreJournal, PlayingBackPutsTheOriginalBack) {
  std::mt19937 random(1313);
  const std::string original = [&] {
    std::string s;
    for (int i = 0; i < 200000; ++i)
      s += static_cast<char>('a' + random() % 7);
    return s;
  }();
  struct Case {
    const char* what;
    int writes;
    int max_length;
    bool past_end;
    bool cut;
  };
  const Case cases[] = {
      {"scattered short changes", 3000, 4, false, false},
      {"long stretches", 40, 30000, false, false},
      {"writes past the end", 200, 5000, true, false},
      {"shrunk and cut", 100, 3000, false, true},
  };
  for (const Case& c : cases) {
    for (bool handed_in : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (handed_in ? ", originals handed in" : ""));
      JournaledFile target(original);
      ASSERT_NE(target.file, platform::kNoFile);
      const std::string& path = target.path;
      platform::FileHandle file = target.file;
      RestoreJournal& journal = target.journal;
      std::string model = original;
      for (int i = 0; i < c.writes; ++i) {
        const size_t limit = c.past_end ? model.size() + 1000 : model.size() - 1;
        const size_t at = random() % limit;
        std::string bytes(1 + random() % c.max_length, '\0');
        for (char& b : bytes)
          b = random() % 4 == 0 ? model[std::min(at, model.size() - 1)]
                                : static_cast<char>('A' + random() % 5);
        if (model.size() < at + bytes.size()) model.resize(at + bytes.size(), '\0');
        // What the file holds there now is what the image would hand in
        // (the journal only uses the part inside the original size).
        const std::string now = model.substr(at, bytes.size());
        ASSERT_TRUE(journal.keep(file, bytes.data(), static_cast<int64_t>(bytes.size()),
                                 static_cast<int64_t>(at), handed_in ? now.data() : nullptr));
        ASSERT_TRUE(platform::write_at(file, bytes.data(), static_cast<int64_t>(bytes.size()),
                                       static_cast<int64_t>(at)));
        model.replace(at, bytes.size(), bytes);
      }
      if (c.cut) {
        ASSERT_TRUE(journal.keep_rest(file, 1000));
        ASSERT_TRUE(platform::set_length(file, 1000));
      }
      EXPECT_TRUE(journal.on_disk());
      const std::string name = journal.name();
      EXPECT_TRUE(test::file_exists(name));
      ASSERT_TRUE(journal.play_back(file));
      ASSERT_TRUE(platform::close_file(file));
      journal.finish(false);
      EXPECT_TRUE(test::read_file(path) == original);
      EXPECT_FALSE(test::file_exists(name));
      if (!c.cut && !c.past_end && c.max_length < 8) {
        // The changed bytes, the stretch written and a record's head and
        // length per write, never a copy of the stretches around them.
        EXPECT_LT(journal.size(), c.writes * 80);
      }
    }
  }
}

TEST(RestoreJournal, OriginalsOverTheFileAreTheOriginal) {
  std::mt19937 random(77);
  std::string original(300000, '\0');
  for (char& c : original)
    c = static_cast<char>('a' + random() % 5);
  JournaledFile target(original);
  ASSERT_NE(target.file, platform::kNoFile);
  const std::string& path = target.path;
  platform::FileHandle file = target.file;
  RestoreJournal& journal = target.journal;
  std::string model = original;
  // Writes moving forward, some of them twice over the same bytes, as a
  // growing edit and -B make them; what lies before `floor` is forgotten.
  int64_t floor = 0;
  for (int i = 0; i < 400; ++i) {
    const auto at = static_cast<size_t>(floor) + random() % 20000;
    std::string bytes(1 + random() % 9000, '\0');
    for (char& b : bytes)
      b = static_cast<char>('A' + random() % 3);
    if (at + bytes.size() > model.size()) break;
    ASSERT_TRUE(journal.keep(file, bytes.data(), static_cast<int64_t>(bytes.size()),
                             static_cast<int64_t>(at)));
    ASSERT_TRUE(platform::write_at(file, bytes.data(), static_cast<int64_t>(bytes.size()),
                                   static_cast<int64_t>(at)));
    model.replace(at, bytes.size(), bytes);
    if (i % 10 == 9) {
      floor += 5000;
      journal.forget_before(floor);
    }
    // Any range at or after the floor reads as the original.
    const auto from = static_cast<int64_t>(floor) + static_cast<int64_t>(random() % 30000);
    const int64_t size =
        std::min<int64_t>(1 + random() % 40000, static_cast<int64_t>(original.size()) - from);
    if (size <= 0) continue;
    std::string bytes_now(static_cast<size_t>(size), '\0');
    ASSERT_TRUE(platform::read_at(file, bytes_now.data(), size, from));
    ASSERT_TRUE(journal.put_originals(bytes_now.data(), from, size));
    ASSERT_TRUE(bytes_now == original.substr(static_cast<size_t>(from), static_cast<size_t>(size)))
        << "write " << i << ", bytes " << from << " to " << from + size;
  }
  ASSERT_TRUE(journal.play_back(file));
  ASSERT_TRUE(platform::close_file(file));
  journal.finish(false);
  EXPECT_TRUE(test::read_file(path) == original);
}

// Lone writes close together, kept as the output stream keeps them: their
// bytes one after the other in one buffer, the changed stretches named in
// that buffer's offsets. Close together they make one record; spread wider
// than a record, or past the file's end, one each. Either way playing back
// restores the file.
TEST(RestoreJournal, WritesKeptTogetherPlayBack) {
  std::mt19937 random(2024);
  std::string original(600000, '\0');
  for (char& c : original)
    c = static_cast<char>('a' + random() % 26);
  struct Case {
    const char* what;
    std::vector<int64_t> offsets;
    bool handed_in;
    bool one_record;
  };
  const Case cases[] = {
      {"close together, originals handed in", {1000, 9000, 70000, 200000}, true, true},
      {"close together, originals read", {1000, 9000, 70000, 200000}, false, true},
      {"wider than a record", {1000, 150000, 400000}, true, false},
      {"past the end", {500000, 599990}, false, false},
  };
  const int64_t kSize = 20;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    JournaledFile target(original);
    ASSERT_NE(target.file, platform::kNoFile);
    std::string buffer;
    std::vector<int64_t> changing;
    std::vector<RestoreJournal::Part> parts;
    for (int64_t offset : c.offsets) {
      const auto begin = static_cast<int64_t>(buffer.size());
      std::string bytes = original.substr(static_cast<size_t>(offset), kSize);
      bytes.resize(kSize, '-');  // what lies past the end is new too
      // Each write changes 7 bytes at a place of its own.
      const int64_t from = 2 + 3 * static_cast<int64_t>(parts.size());
      for (int64_t k = from; k < from + 7; ++k)
        bytes[static_cast<size_t>(k)] = 'X';
      buffer += bytes;
      changing.insert(changing.end(), {begin + from, begin + from + 7});
      if (offset + kSize > static_cast<int64_t>(original.size()))
        changing.insert(changing.end(),
                        {begin + static_cast<int64_t>(original.size()) - offset, begin + kSize});
      parts.push_back({nullptr, kSize, offset, nullptr, begin});
    }
    for (RestoreJournal::Part& part : parts) {
      part.data = buffer.data() + part.skip;
      if (c.handed_in) part.originals = original.data() + part.offset;
    }
    ASSERT_TRUE(target.journal.keep_together(target.file, parts.data(), parts.size(), &changing));
    const auto count = static_cast<int64_t>(parts.size());
    // The journal's head is 64 bytes, a record's head and length 64, a
    // stretch written and an entry a few bytes of numbers each, and the
    // 7 changed bytes.
    if (c.one_record) {
      EXPECT_LE(target.journal.size(), 64 + 64 + count * 18);
    } else {
      EXPECT_GE(target.journal.size(), 64 + count * 64);
    }
    for (const RestoreJournal::Part& part : parts)
      ASSERT_TRUE(platform::write_at(target.file, part.data, part.size, part.offset));
    ASSERT_TRUE(target.journal.play_back(target.file));
    ASSERT_TRUE(platform::close_file(target.file));
    target.journal.finish(false);
    EXPECT_TRUE(test::read_file(target.path) == original);
  }
}

}  // namespace
}  // namespace qk
