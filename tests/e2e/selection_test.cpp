// Match selection (-#) end to end: which matches are acted on, the skipped
// count in the report, and the exit codes of report-only runs.
#include <gtest/gtest.h>

#include "e2e/harness.h"

namespace qk::test {
namespace {

TEST(Selection, ChoosesMatches) {
  const std::string five = "a a a a a";
  expect_cases({
      {five,
       {"f", "a", "b", "-#:O"},
       "b a b a b",
       "\n(Skipped 2 matches)\nOK: 3 matches found\n",
       0},
      {five,
       {"f", "a", "b", "-#:E"},
       "a b a b a",
       "\n(Skipped 3 matches)\nOK: 2 matches found\n",
       0},
      {five,
       {"f", "a", "b", "-#:I"},
       "a b b b b",
       "\n(Skipped 1 matches)\nOK: 4 matches found\n",
       0},
      {five,
       {"f", "a", "b", "-#:J"},
       "b b b b a",
       "\n(Skipped 1 matches)\nOK: 4 matches found\n",
       0},
      {five,
       {"f", "a", "b", "-#:L"},
       "a a a a b",
       "\n(Skipped 4 matches)\nOK: 1 matches found\n",
       0},
      {five,
       {"f", "a", "b", "-#:2,4,9"},
       "a b a b a",
       "\n(Skipped 3 matches)\nOK: 2 matches found\n",
       0},
      {five,
       {"f", "a", "b", "-#:5", "-#:1"},
       "b a a a b",
       "\n(Skipped 3 matches)\nOK: 2 matches found\n",
       0},
      {"xay", {"f", "a", "b", "-#:J"}, "xay", "\n(Skipped 1 matches)\nNo matches found\n", 0},
      {"xyz", {"f", "a", "b", "-#:L"}, "xyz", "\nNo matches found\n", 0},
      {"A a A",
       {"f", "a", "[&]", "-#:J"},
       "[A] [a] A",
       "\n(Skipped 1 matches)\nOK: 2 matches found\n",
       0},
      // The overwrite of an acted match took in the next one: that match is
      // dropped, and the one after it is held back instead.
      {"aa aa aa",
       {"f", "aa", "bbbb", "-#:J", "-O"},
       "bbbba aa",
       "\n(Skipped 2 matches)\nOK: 1 matches found\n",
       0},
      // One match per line in whole-line mode, acted on or not.
      {"a a\r\nb\r\na\r\n",
       {"f", "a", "X", "-D", "-#:2"},
       "a a\r\nb\r\nX\r\n",
       "\n(Skipped 1 matches)\nOK: 1 matches found\n",
       0},
      {"a\r\nb\r\na\r\n",
       {"f", "a", "", "-D", "-#:L"},
       "a\r\nb\r\n",
       "\n(Skipped 1 matches)\nOK: 1 matches found\n",
       0},
      // Zero-length matches move on when skipped too.
      {"a\r\nb\r\nc\r\n",
       {"f", "#", ">", "-#:E"},
       "a\r\n>b\r\nc\r\n",
       "\n(Skipped 2 matches)\nOK: 1 matches found\n",
       0},
  });
}

TEST(Selection, SilentReportOnlyRunStillCounts) {
  TempDir dir;
  write_file(dir.file("f"), "a a a");
  RunOptions options;
  options.cwd = dir.path();
  RunResult result = run_qk({"f", "a", "b", "-#:0", "-V:0"}, options);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exit_code, 3);
}

TEST(Selection, ReportOnlyRunsCount) {
  const std::string seven = "a a a a a a a";
  expect_cases({
      {seven, {"f", "a", "b", "-#:0"}, seven, "\n(Skipped 7 matches)\nNo matches found\n", 7},
      {seven, {"f", "a", "b", "-#:R"}, seven, "\n(Skipped 7 matches)\nNo matches found\n", 7},
      {"xyz", {"f", "a", "b", "-#:R"}, "xyz", "\nNo matches found\n", 0},
      // Report-only runs add nothing either.
      {"xyz", {"f", "y", "b", "-#:0", "-T"}, "xyz", "\n(Skipped 1 matches)\nNo matches found\n", 1},
      {std::string(300, 'a'),
       {"f", "a", "b", "-#:0"},
       std::string(300, 'a'),
       "\n(Skipped 300 matches)\nNo matches found\n",
       255},
      {std::string(300, 'a'), {"f", "a", "b", "-V:1"}, std::string(300, 'b'), "", 255},
  });
}

}  // namespace
}  // namespace qk::test
