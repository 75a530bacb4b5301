// Intelligent writing seen from outside: which bytes of the target a run
// writes, how a shrunken file is cut, and that a write fault puts the
// original content back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

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

// The writes themselves, as the system sees them: a lone change is
// written as just its bytes; the next change goes out in the same write,
// with the unchanged bytes between, when it starts in the block of the
// last byte written or in the block after it; nothing else is written.
// Once the length changes, everything from the change on is written.
TEST(IntelligentWriting, WritesAreExactlyTheChangedBytesAndTheGapsBetweenNeighbours) {
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  struct Case {
    const char* what;
    std::vector<int> changes;  // offsets of an 'x' in a file of dots
    std::vector<std::string> writes;
    const char* search = "x";
    const char* replacement = "y";
  };
  std::vector<int> dense;
  for (int at = 10; at <= 12280; at += 10)
    dense.push_back(at);
  const std::vector<Case> cases = {
      {"a lone change", {5000}, {"5000 1"}},
      {"two in one block", {8200, 8300}, {"8200 101"}},
      {"first and last byte of a block", {8192, 12287}, {"8192 4096"}},
      {"one block on, as far as it goes", {4095, 8191}, {"4095 4097"}},
      {"one byte further: the block after next", {4095, 8192}, {"4095 1", "8192 1"}},
      {"across a block edge", {4095, 4096}, {"4095 2"}},
      {"from mid-block into the next", {5000, 9000}, {"5000 4001"}},
      {"mid-block to two blocks on", {5000, 12288}, {"5000 1", "12288 1"}},
      {"far apart", {100, 20000, 39000}, {"100 1", "20000 1", "39000 1"}},
      {"a chain of neighbours", {100, 4500, 8900, 13300}, {"100 13201"}},
      {"dense", dense, {"10 12271"}},
      {"the last byte", {39999}, {"39999 1"}},
      {"the last block and the one before", {36000, 39999}, {"36000 4000"}},
      {"a growing change", {5000, 5010}, {"5000 35002"}, "x", "yy"},
      {"a lone change of two bytes", {7000}, {"7000 2"}, "x.", "zz"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string content(40000, '.');
    for (int at : c.changes)
      content[static_cast<size_t>(at)] = 'x';
    write_file(dir.file("f"), content);
    RunResult result;
    std::vector<std::string> target_writes;
    for (const std::string& line :
         writes_of({"f", c.search, c.replacement, "-C"}, dir.path(), {}, &result))
      if (line.rfind("target ", 0) == 0) target_writes.push_back(line.substr(7));
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(target_writes, c.writes);
  }
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
