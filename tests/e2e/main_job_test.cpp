// The main job end to end: the built binary edits a file in a temporary
// directory, and the resulting bytes, the console output and the exit code
// are compared.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e/harness.h"

namespace qk::test {
namespace {

const std::string kOk1 = "\nOK: 1 matches found\n";
const std::string kNone = "\nNo matches found\n";

TEST(MainJob, ReplacesMatches) {
  std::vector<FileCase> cases = {
      {"notes with foo inside", {"f", "foo", "bar"}, "notes with bar inside", kOk1, 0},
      {"FOO Foo foo", {"f", "foo", "x"}, "x x x", "\nOK: 3 matches found\n", 0},
      {"FOO Foo foo", {"f", "foo", "x", "-C"}, "FOO Foo x", kOk1, 0},
      {"aaaa", {"f", "aa", "b"}, "bb", "\nOK: 2 matches found\n", 0},
      {"abab", {"f", "ab", "xyz"}, "xyzxyz", "\nOK: 2 matches found\n", 0},
      {"aaa", {"f", "a", "b"}, "bbb", "\nOK: 3 matches found\n", 0},
      {"a b a", {"f", "a", ""}, " b ", "\nOK: 2 matches found\n", 0},
      {"nothing here", {"f", "zzz", "y"}, "nothing here", kNone, 0},
      {"a1c a\nc", {"f", "a@c", "<&>"}, "<a1c> <a\nc>", "\nOK: 2 matches found\n", 0},
      {"abc\r\nabc\nabc", {"f", "abc!", "X"}, "X\r\nX\nX", "\nOK: 3 matches found\n", 0},
      {"abc x\nabc \rabc", {"f", "#abc", "X"}, "X x\nX \rabc", "\nOK: 2 matches found\n", 0},
      {"a\r\nb\r\n", {"f", "#", ">"}, ">a\r\n>b\r\n", "\nOK: 2 matches found\n", 0},
      {"a\r\nb\r\n", {"f", "!", ";"}, "a;\r\nb;\r\n", "\nOK: 2 matches found\n", 0},
      {"a\r\n\r\nb\r\n", {"f", "#!", "="}, "a\r\n=\r\nb\r\n", kOk1, 0},
      // Paths, and texts that begin like a switch after -G or --.
      {"foo", {"--", "{dir}/f", "foo", "bar"}, "bar", kOk1, 0},
      {"foo", {"-G", "{dir}/f", "foo", "bar"}, "bar", kOk1, 0},
      {"-x -y", {"f", "--", "-x", "-z"}, "-z -y", kOk1, 0},
      {"-x -y", {"--", "f", "-X", "--"}, "-- -y", kOk1, 0},
  };
  // Elsewhere than on Windows '/' begins a path, not a switch.
  if (!on_windows_build()) {
    cases.push_back({"foo", {"{dir}/f", "foo", "bar"}, "bar", kOk1, 0});
    cases.push_back({"a/b", {"f", "/b", "/c"}, "a/c", kOk1, 0});
    cases.push_back({"foo", {"f", "foo", "bar", "-$", "{dir}/f"}, "bar", kOk1, 0});
  }
  expect_cases(cases);
}

TEST(MainJob, NewTextVariants) {
  expect_cases({
      // -A and -I keep the matched text beside the new one.
      {"x ab y", {"f", "ab", "+", "-A"}, "x ab+ y", kOk1, 0},
      {"x ab y", {"f", "ab", "+", "-I"}, "x +ab y", kOk1, 0},
      {"x ab y", {"f", "ab", "+", "-A", "-I"}, "x +ab y", kOk1, 0},
      // -O lets a longer text overwrite the bytes after the match.
      {"abXYZ", {"f", "ab", "abcd", "-O"}, "abcdZ", kOk1, 0},
      {"xxab", {"f", "ab", "abcd", "-O"}, "xxabcd", kOk1, 0},
      {"abXYZ", {"f", "ab", "abcd", "-O", "-A"}, "ababcdXYZ", kOk1, 0},
      {"abXYZ", {"f", "ab", "a", "-O"}, "aXYZ", kOk1, 0},
      // -N pads to the match length.
      {"[abc]", {"f", "abc", "", "-N"}, "[   ]", kOk1, 0},
      {"[abc]", {"f", "abc", "x", "-N:46"}, "[x..]", kOk1, 0},
      {"[abc]", {"f", "abc", "wxyz", "-N"}, "[wxyz]", kOk1, 0},
      // '&' and its case variants.
      {"AbC", {"f", "a@c", "[&]"}, "[AbC]", kOk1, 0},
      {"AbC", {"f", "a@c", "[&]", "-&:U"}, "[ABC]", kOk1, 0},
      {"AbC", {"f", "a@c", "[&]", "-&:L"}, "[abc]", kOk1, 0},
      {"AbC", {"f", "a@c", "[&]", "-&:C"}, "[abc]", kOk1, 0},
      {"AbC", {"f", "a@c", "[&]", "-&"}, "[abc]", kOk1, 0},
      {"AbC", {"f", "a@c", "[&]", "-2"}, "[&]", kOk1, 0},
      {"AbC", {"f", "a@c", "[&]", "-X"}, "[AbC]", kOk1, 0},
      {"it x", {"f", "x", "it's", "-'"}, "it it\"s", kOk1, 0},
  });
}

TEST(MainJob, ReportsAtEveryVerbosity) {
  const std::string hundred(100, '.');
  std::string three = hundred;
  three[10] = three[50] = three[90] = 'a';
  std::string grown = three;
  grown.replace(90, 1, "bb").replace(50, 1, "bb").replace(10, 1, "bb");
  expect_cases({
      {three,
       {"f", "a", "bb", "-V"},
       grown,
       "\nOriginal filesize : 100\nBytes gained      : 3\nBytes written     : 103\n"
       "Number times text inserted at & : 0\n\nOK: 3 matches found\n",
       0},
      {"xaay",
       {"f", "a", "", "-V:3"},
       "xy",
       "\nOriginal filesize : 4\nBytes lost        : -2\nBytes written     : 2\n"
       "Number times text inserted at & : 0\n\nOK: 2 matches found\n",
       0},
      {"xaay",
       {"f", "a", "&&", "-V:3"},
       "xaaaay",
       "\nOriginal filesize : 4\nBytes gained      : 2\nBytes written     : 6\n"
       "Number times text inserted at & : 4\n\nOK: 2 matches found\n",
       0},
  });
  // Quiet runs end with the acted count, silent ones print nothing.
  for (auto [verbosity, out, code] : std::vector<std::tuple<std::string, std::string, int>>{
           {"-V:1", banner(), 3},
           {"-V:0", "", 0},
           {"-V:2", banner() + "\nOK: 3 matches found\n", 0}}) {
    TempDir dir;
    write_file(dir.file("f"), "a a a");
    RunOptions options;
    options.cwd = dir.path();
    RunResult result = run_qk({"f", "a", "b", verbosity}, options);
    EXPECT_EQ(result.out, out) << verbosity;
    EXPECT_EQ(result.exit_code, code) << verbosity;
    EXPECT_EQ(read_file(dir.file("f")), "b b b");
  }
}

TEST(MainJob, FileErrors) {
  TempDir dir;
  RunOptions options;
  options.cwd = dir.path();
  struct ErrorCase {
    std::vector<std::string> args;
    std::string out;
    int code;
  };
  write_file(dir.file("empty"), "");
  mkdir(dir.file("folder").c_str(), 0755);
  mkfifo(dir.file("fifo").c_str(), 0644);  // opening it would block
  const std::string not_found = "\nERROR: Bad filename or file does not exist: ";
  const std::vector<ErrorCase> cases = {
      {{"missing", "a", "b"}, not_found + shown_name("missing") + "\n", 1},
      {{"folder", "a", "b"}, not_found + shown_name("folder") + "\n", 1},
      {{"fifo", "a", "b", "-T:C"}, not_found + shown_name("fifo") + "\n", 1},
      {{"empty", "a", "b"}, "\nERROR: File too big or 0 bytes (2147483583 byte maximum)\n", 4},
      {{"missing", "a", "b", "-#:0"}, not_found + shown_name("missing") + "\n", 0},
      {{"missing", "a", "b", "-#:R"}, not_found + shown_name("missing") + "\n", 1},
  };
  for (const ErrorCase& c : cases) {
    if (c.args[0] == "fifo" && on_windows_build()) continue;  // Windows has no FIFOs
    RunResult result = run_qk(c.args, options);
    EXPECT_EQ(result.out, banner() + c.out) << c.args[0];
    EXPECT_EQ(result.exit_code, c.code) << c.args[0];
  }
}

TEST(MainJob, OutputFile) {
  TempDir dir;
  RunOptions options;
  options.cwd = dir.path();
  write_file(dir.file("f"), "one foo two");
  RunResult result = run_qk({"f", "foo", "bar", "-$", "out"}, options);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(read_file(dir.file("out")), "one bar two");
  EXPECT_EQ(read_file(dir.file("f")), "one foo two");
  // No match still copies the file; :A appends.
  result = run_qk({"f", "zzz", "bar", "-$", "out"}, options);
  EXPECT_EQ(read_file(dir.file("out")), "one foo two");
  result = run_qk({"f", "two", "2", "-$:A", "out"}, options);
  EXPECT_EQ(read_file(dir.file("out")), "one foo twoone foo 2");
  result = run_qk({"f", "foo", "bar", "-V", "-$", "out"}, options);
  EXPECT_EQ(result.out,
            banner() +
                "\nOutput filename       : out\nOriginal filesize : 11\nBytes gained      : "
                "0\nBytes written     : 11\nNumber times text inserted at & : 0\n"
                "\nOK: 1 matches found\n");
}

TEST(MainJob, FullWritingRewritesTheFile) {
  TempDir dir;
  RunOptions options;
  options.cwd = dir.path();
  write_file(dir.file("f"), "abc");
  // A read-only stream (report-only run) cannot take a full rewrite.
  RunResult result = run_qk({"f", "b", "x", "-#:R", "-~"}, options);
  EXPECT_EQ(result.out, banner() + "\nERROR: Write fault encountered: " + shown_name("f") + "\n");
  EXPECT_EQ(result.exit_code, 14);
  EXPECT_EQ(read_file(dir.file("f")), "abc");
  result = run_qk({"f", "b", "x", "-~"}, options);
  EXPECT_EQ(read_file(dir.file("f")), "axc");
}

TEST(MainJob, ReadOnlyTarget) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  if (on_windows_build()) GTEST_SKIP() << "Wine will not run for a user who does not own it";
  TempDir dir;
  RunOptions options;
  options.cwd = dir.path();
  options.drop_privileges = true;
  write_file(dir.file("f"), "abc");
  chmod(dir.file("f").c_str(), 0444);
  RunResult result = run_qk({"f", "b", "x"}, options);
  EXPECT_EQ(result.out, banner() + "\nERROR: File is Read Only - f\n");
  EXPECT_EQ(result.exit_code, 9);
  result = run_qk({"f", "b", "x", "-T:C"}, options);
  EXPECT_EQ(result.exit_code, 9);
  // Reading is all a -$ run or a report-only run needs.
  result = run_qk({"f", "b", "x", "-$", "out"}, options);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(read_file(dir.file("out")), "axc");
  result = run_qk({"f", "b", "x", "-#:0"}, options);
  EXPECT_EQ(result.out, banner() + "\n(Skipped 1 matches)\nNo matches found\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(read_file(dir.file("f")), "abc");
}

}  // namespace
}  // namespace qk::test
