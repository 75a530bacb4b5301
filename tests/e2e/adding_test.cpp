// Adding the new text when nothing matched (-B, -T), creating a missing or
// empty file with :C, and the report lines that go with it.
#include <gtest/gtest.h>

#include "e2e/harness.h"

namespace qk::test {
namespace {

const std::string kAppended = "\nNo matches found\n(String appended)\n";
const std::string kInserted = "\nNo matches found\n(String inserted)\n";

TEST(Adding, AddsWhenNothingMatched) {
  expect_cases({
      {"abc", {"f", "zzz", "X", "-T"}, "abcX", kAppended, 0},
      {"abc", {"f", "zzz", "X", "-T", "-D"}, "abc\r\nX\r\n", kAppended, 0},
      {"abc\r\n", {"f", "zzz", "X", "-T", "-D"}, "abc\r\nX\r\n", kAppended, 0},
      // An added line's breaks are of the kind of the file's first one.
      {"abc\n", {"f", "zzz", "X", "-T", "-D"}, "abc\nX\n", kAppended, 0},
      {"a\nbc\r\n", {"f", "zzz", "X", "-T", "-D"}, "a\nbc\r\nX\n", kAppended, 0},
      {"a\r\nbc\n", {"f", "zzz", "X", "-B", "-D"}, "X\r\na\r\nbc\n", kInserted, 0},
      {"a\rbc\n", {"f", "zzz", "X", "-B", "-D"}, "X\na\rbc\n", kInserted, 0},
      {"abc", {"f", "zzz", "X", "-B"}, "Xabc", kInserted, 0},
      {"abc", {"f", "zzz", "X", "-B", "-D"}, "X\r\nabc", kInserted, 0},
      {"abc", {"f", "zzz", "X", "-B", "-~"}, "Xabc", kInserted, 0},
      {"abc", {"f", "zzz", "X", "-T", "-~"}, "abcX", kAppended, 0},
      {"abc", {"f", "zzz", "X", "-T", "-B"}, "Xabc", kInserted, 0},
      // A match acted on means nothing is added.
      {"abc", {"f", "b", "X", "-T"}, "aXc", "\nOK: 1 matches found\n", 0},
      // A match that selection leaves alone counts as no match.
      {"abc", {"f", "b", "X", "-T", "-#:2"}, "abcX", "\n(Skipped 1 matches)" + kAppended, 0},
      // '&' stands for the search text; -W changes its wildcards.
      {"abc", {"f", "a@b", "[&]", "-T"}, "abc[a@b]", kAppended, 0},
      {"abc", {"f", "a@b", "[&]", "-T", "-W:95"}, "abc[a_b]", kAppended, 0},
      {"abc", {"f", "a@b", "[&]", "-T", "-W"}, "abc[a b]", kAppended, 0},
      {"abc", {"f", "zz", "[&]", "-T", "-2"}, "abc[&]", kAppended, 0},
      // An empty new text adds nothing (or an empty line with -D).
      {"abc", {"f", "zzz", "-T"}, "abc", kAppended, 0},
      {"abc", {"f", "zzz", "-T", "-D"}, "abc\r\n\r\n", kAppended, 0},
      // -U adds nothing and says nothing about it.
      {"abc", {"f", "zzz", "X", "-T", "-U"}, "abc", "\nNo matches found\n", 0},
      {"abc", {"f", "zzz", "X", "-B", "-U"}, "abc", "\nNo matches found\n", 0},
      // An empty file with :C is taken as created.
      {"", {"f", "zzz", "X", "-B:C"}, "X", "\nNew file created (String inserted)\n", 0},
      {"", {"f", "zzz", "X", "-T:C", "-D"}, "X\r\n", "\nNew file created (String appended)\n", 0},
  });
}

TEST(Adding, CreatesMissingFiles) {
  TempDir dir;
  RunOptions options;
  options.cwd = dir.path();
  RunResult result = run_qk({"new.txt", "zzz", "hello", "-T:C"}, options);
  EXPECT_EQ(result.out, banner() + "\nNew file created (String appended)\n");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(read_file(dir.file(shown_name("new.txt"))), "hello");

  result = run_qk({"lines.txt", "zzz", "hello", "-T:C", "-D", "-V:3"}, options);
  EXPECT_EQ(result.out,
            banner() +
                "\nOriginal filesize : 0\nBytes gained      : 7\nBytes written     : 7\n"
                "Number times text inserted at & : 0\n"
                "\nNew file created (String appended)\n");
  EXPECT_EQ(read_file(dir.file(shown_name("lines.txt"))), "hello\r\n");

  // With -$ the output file is created and the target stays missing, also
  // under -$:A.
  result = run_qk({"absent", "zzz", "hi", "-T:C", "-$:A", "out"}, options);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(read_file(dir.file("out")), "hi");
  EXPECT_FALSE(file_exists(dir.file("absent")));

  // Without :C a missing file stays an error.
  result = run_qk({"absent", "zzz", "hi", "-T"}, options);
  EXPECT_EQ(result.exit_code, 1);
}

TEST(Adding, InsertIntoAnAppendedOutputFile) {
  // -B with -$:A: the output file keeps what it held, then gets the added
  // text and the target's content once.
  TempDir dir;
  RunOptions options;
  options.cwd = dir.path();
  write_file(dir.file("f"), "body");
  write_file(dir.file("out"), "old;");
  RunResult result = run_qk({"f", "zzz", "head:", "-B", "-$:A", "out"}, options);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(read_file(dir.file("out")), "old;head:body");
  EXPECT_EQ(read_file(dir.file("f")), "body");
}

}  // namespace
}  // namespace qk::test
