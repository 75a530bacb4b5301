// Whole-line mode (-D and its sub-options, -X) and the line filters -U and
// -M, end to end on CR LF files.
#include <gtest/gtest.h>

#include "e2e/harness.h"

namespace qk::test {
namespace {

const std::string kOk1 = "\nOK: 1 matches found\n";
const std::string kOk2 = "\nOK: 2 matches found\n";
const std::string kNone = "\nNo matches found\n";

TEST(WholeLines, ReplaceRemoveAndKeepParts) {
  expect_cases({
      {"a foo b\r\nx\r\n", {"f", "foo", "bar", "-D"}, "bar\r\nx\r\n", kOk1, 0},
      {"a\r\nfoo\r\nb\r\n", {"f", "foo", "", "-D"}, "a\r\nb\r\n", kOk1, 0},
      {"a\r\nfoo\r\nb\r\n", {"f", "foo", "", "-D:P"}, "a\r\n\r\nb\r\n", kOk1, 0},
      {"a\r\nfoo\r\nb\r\n", {"f", "foo", "x", "-D:P"}, "a\r\nx\r\nb\r\n", kOk1, 0},
      {"a foo b\r\n", {"f", "foo", "bar", "-D:L"}, "a bar\r\n", kOk1, 0},
      {"a foo b\r\n", {"f", "foo", "bar", "-D:R"}, "bar b\r\n", kOk1, 0},
      {"a foo b\r\n", {"f", "foo", "", "-D:L"}, "a \r\n", kOk1, 0},
      {"a foo b\r\n", {"f", "foo", "new", "-D", "-A"}, "a foo b\r\nnew\r\n", kOk1, 0},
      {"a foo b\r\n", {"f", "foo", "new", "-D", "-I"}, "new\r\na foo b\r\n", kOk1, 0},
      {"a foo b\r\n", {"f", "foo", "new", "-D:L", "-A"}, "a foo b\r\nnew\r\n", kOk1, 0},
      {"a foo b\r\n", {"f", "foo", "new", "-D:R", "-I"}, "new\r\na foo b\r\n", kOk1, 0},
      {"a foo b\r\n", {"f", "foo", "[&]", "-D", "-X"}, "[a foo b]\r\n", kOk1, 0},
      {"a foo b\r\n", {"f", "foo", "[&]", "-D"}, "[foo]\r\n", kOk1, 0},
      {"a foo b\r\n", {"f", "foo", "[&]", "-D:L", "-X"}, "a [foo b]\r\n", kOk1, 0},
      {"foo foo\r\n", {"f", "foo", "X", "-D:R"}, "XX\r\n", kOk2, 0},
      {"foo foo\r\n", {"f", "foo", "X", "-D"}, "X\r\n", kOk1, 0},
      // Empty lines: "#!" matches them.
      {"a\r\n\r\n\r\nb\r\n", {"f", "#!", "", "-D"}, "a\r\nb\r\n", kOk2, 0},
      {"a\r\n\r\nb\r\n", {"f", "#!", "X", "-D"}, "a\r\nX\r\nb\r\n", kOk1, 0},
      // The last line without a line end.
      {"abc", {"f", "c", "X", "-D"}, "X", kOk1, 0},
      {"abc", {"f", "b", "X", "-D"}, "Xc", kOk1, 0},
      {"x\r\nabc", {"f", "c", "", "-D"}, "x\r\n", kOk1, 0},
      {"one\ntwo foo\nthree", {"f", "foo", "X", "-D"}, "one\nXe", kOk1, 0},
      {"a foo b\r\n", {"f", "foo", "new", "-D:P", "-A"}, "a foo b\r\nnew\r\n", kOk1, 0},
      {"a foo b\r\n", {"f", "foo", "[&]", "-D:R", "-X"}, "[a foo] b\r\n", kOk1, 0},
      {"a foo b\r\n", {"f", "foo", "[&]", "-D:P", "-X"}, "[a foo b]\r\n", kOk1, 0},
      // -O means nothing in whole lines.
      {"a foo b\r\nxyz\r\n",
       {"f", "foo", "longer text", "-D", "-O"},
       "longer text\r\nxyz\r\n",
       kOk1,
       0},
  });
}

// Empty matches ("#", "!", "#!" once the anchors are taken off) widened to
// lines: each position is found once, a line never starts after its match,
// and every run ends. These once grew the file without end or spun; the
// limits turn such a fault into a quick failure instead of a full disk.
TEST(WholeLines, EmptyMatchesEnd) {
  const CaseSetup limited{{}, {}, {{"fsize", 1 << 20}, {"cpu", 20}}};
  expect_cases(
      {
          {"a\n\nb", {"f", "#", "bc", "-D:R"}, "bca\nbc\nbcb", "\nOK: 3 matches found\n", 0},
          {"x\r\n\n", {"f", "#", "bc", "-D"}, "bc\r\nbc\n", kOk2, 0},
          {"a\r\nb\r\n", {"f", "!", "qq", "-D"}, "qq\r\nqq\r\n", kOk2, 0},
          {"a\r\nb\r\n",
           {"f", "!", "qq", "-D", "-#:2"},
           "a\r\nqq\r\n",
           "\n(Skipped 1 matches)\nOK: 1 matches found\n",
           0},
      },
      limited);
}

TEST(WholeLines, UnmodifiedAndModifiedLinesOnly) {
  expect_cases({
      {"1\r\nfoo\r\n2\r\n", {"f", "foo", "-U"}, "1\r\n2\r\n", kOk1, 0},
      {"1\r\nfoo foo\r\n2\r\n", {"f", "foo", "-U"}, "1\r\n2\r\n", kOk1, 0},
      {"1\r\nfoo\r\n2", {"f", "2", "-U"}, "1\r\nfoo\r\n", kOk1, 0},
      {"1\r\nfoo\r\n2\r\n", {"f", "foo", "x", "-U", "-D"}, "1\r\n2\r\n", kOk1, 0},
      {"1\r\nfoo\r\n2\r\n", {"f", "foo", "", "-D", "-U"}, "1\r\n2\r\n", kOk1, 0},
      {"1\r\nfoo\r\n2\r\n", {"f", "zzz", "-U"}, "1\r\nfoo\r\n2\r\n", kNone, 0},
      {"one\r\ntwo\r\nsix\r\n", {"f", "o", "0", "-M"}, "0ne\r\ntw0\r\n", kOk2, 0},
      {"foo\r\n", {"f", "o", "0", "-M"}, "f00\r\n", kOk2, 0},
      {"a\r\nfoo x\r\nb\r\n", {"f", "foo", "bar", "-M", "-D"}, "bar\r\n", kOk1, 0},
      {"a\r\nxfoox\r\nb\r\n", {"f", "foo", "bar", "-M"}, "xbarx\r\n", kOk1, 0},
      {"a\r\nb\r\n", {"f", "zzz", "y", "-M"}, "a\r\nb\r\n", kNone, 0},
      // -M writes the whole modified line, whichever part -D replaced.
      {"a\r\nx foo yy\r\nb\r\n", {"f", "foo", "bar", "-D:R", "-M"}, "bar yy\r\n", kOk1, 0},
      {"a\r\nx foo yy\r\nb\r\n", {"f", "foo", "bar", "-D:L", "-M"}, "x bar\r\n", kOk1, 0},
      {"a\r\nfoo\r\nb\r\n", {"f", "foo", "", "-D:P", "-M"}, "\r\n", kOk1, 0},
      {"a\r\nfoo\r\nb\r\n", {"f", "foo", "", "-D", "-M"}, "", kOk1, 0},
      {"a foo b\r\nx\r\n", {"f", "foo", "", "-D:L", "-U"}, "a x\r\n", kOk1, 0},
      {"a\r\nfoo\r\nb\r\n", {"f", "foo", "[&]", "-D", "-M", "-X"}, "[foo]\r\n", kOk1, 0},
      // The last of -U and -M wins.
      {"1\r\nfoo\r\n2\r\n", {"f", "foo", "x", "-U", "-M"}, "x\r\n", kOk1, 0},
  });
}

TEST(WholeLines, ModifiedLinesToAnOutputFile) {
  TempDir dir;
  write_file(dir.file("f"), "a\r\nb\r\n");
  RunOptions options;
  options.cwd = dir.path();
  RunResult result = run_qk({"f", "zzz", "y", "-M", "-$", "out"}, options);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(read_file(dir.file("out")), "");
  EXPECT_EQ(read_file(dir.file("f")), "a\r\nb\r\n");
}

}  // namespace
}  // namespace qk::test
