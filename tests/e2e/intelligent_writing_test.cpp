// Intelligent writing seen from outside: which bytes of the target a run
// writes, how a shrunken file is cut, and that a write fault puts the
// original content back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "e2e/harness.h"

namespace qk::test {
namespace {

constexpr off_t kSparseSize = 64 << 20;
constexpr off_t kMiddle = 32 << 20;

blkcnt_t blocks_of(const std::string& path) {
  struct stat st;
  stat(path.c_str(), &st);
  return st.st_blocks;
}

TEST(IntelligentWriting, SameLengthEditWritesOnlyTheNewBytes) {
  // A sparse file with one written block in its middle: had QK written any
  // other byte, the holes around it would now be allocated.
  TempDir dir;
  const std::string path = dir.file("notes.txt");
  int fd = open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, kSparseSize), 0);
  ASSERT_EQ(pwrite(fd, "a foo b", 7, kMiddle), 7);
  close(fd);
  const blkcnt_t before = blocks_of(path);

  RunOptions options;
  options.cwd = dir.path();
  RunResult result = run_qk({"notes.txt", "foo", "bar"}, options);
  EXPECT_EQ(result.out, banner() + "\nOK: 1 matches found\n");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(blocks_of(path), before);
  std::string content = read_file(path);
  ASSERT_EQ(content.size(), static_cast<size_t>(kSparseSize));
  EXPECT_EQ(content.substr(kMiddle, 7), "a bar b");
  EXPECT_EQ(content.find_first_not_of('\0', kMiddle + 7), std::string::npos);
}

TEST(IntelligentWriting, LengthChangesRewriteTheRestAndCut) {
  struct Case {
    std::string before, search, replacement, after;
  };
  std::string hundred(100, '-');
  std::string with_ab = hundred;
  with_ab.replace(10, 2, "ab");
  std::string shrunk = with_ab;
  shrunk.replace(10, 2, "x");
  const Case cases[] = {
      {with_ab, "ab", "x", shrunk},
      {"0123456789", "3", "three", "012three456789"},
      {"aXb aXb", "X", "YY", "aYYb aYYb"},
      {"aXXb XXb", "XX", "Y", "aYb Yb"},
      // Up by two, then down by two: the tail is passed over again.
      {"a1b22c", "1", "111", "a111b22c"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    write_file(dir.file("f"), c.before);
    RunOptions options;
    options.cwd = dir.path();
    run_qk({"f", c.search, c.replacement}, options);
    EXPECT_EQ(read_file(dir.file("f")), c.after) << c.search;
  }
}

TEST(IntelligentWriting, WriteFaultPutsTheOriginalBack) {
  if (const char* why = no_file_size_limit()) GTEST_SKIP() << why;
  // The file may not grow past its size: the edit that makes it longer
  // fails part way, and QK must restore what was there.
  std::string original;
  for (int i = 0; i < 2000; ++i)
    original += "line with foo in it\r\n";
  for (const char* extra : {"", "-~"}) {
    TempDir dir;
    write_file(dir.file("f"), original);
    RunOptions options;
    options.cwd = dir.path();
    options.limits = {{"fsize", static_cast<long>(original.size())}};
    std::vector<std::string> args = {"f", "foo", "foobar"};
    if (*extra) args.push_back(extra);
    RunResult result = run_qk(args, options);
    EXPECT_EQ(result.out, banner() + "\nERROR: Write fault encountered: " + shown_name("f") + "\n")
        << extra;
    EXPECT_EQ(result.exit_code, 14);
    EXPECT_EQ(read_file(dir.file("f")), original) << extra;
  }
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

TEST(IntelligentWriting, LargeFilesGiveTheSameBytesEveryWay) {
  // Files over a megabyte take the mapped path for scattered small writes;
  // the result must not depend on it.
  std::string original;
  for (int i = 0; original.size() < (3u << 20); ++i)
    original += (i % 7 == 0 ? "a cat sat\r\n" : "no match on this line at all\r\n");
  struct Case {
    std::string search, replacement;
  };
  const Case cases[] = {{"cat", "dog"}, {"cat", "tiger"}, {"cat", "c"}, {"sat", "sat"}};
  for (const Case& c : cases) {
    for (const char* mode : {"", "-~", "-$"}) {
      TempDir dir;
      write_file(dir.file("f"), original);
      RunOptions options;
      options.cwd = dir.path();
      std::vector<std::string> args = {"f", c.search, c.replacement, "-C"};
      std::string result_file = "f";
      if (std::string(mode) == "-$") {
        args.insert(args.end(), {"-$", "out"});
        result_file = "out";
      } else if (*mode) {
        args.push_back(mode);
      }
      RunResult result = run_qk(args, options);
      EXPECT_EQ(result.exit_code, 0);
      EXPECT_TRUE(read_file(dir.file(result_file)) ==
                  replace_all(original, c.search, c.replacement))
          << c.search << " -> " << c.replacement << " " << mode;
    }
  }
}

}  // namespace
}  // namespace qk::test
