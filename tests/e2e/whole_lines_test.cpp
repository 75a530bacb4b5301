// Whole-line mode (-D and its sub-options, -X) and the line filters -U and
// -M, end to end: on CR LF files, and one table on files whose lines end in
// bare line feeds, in CR LF and in a mix of both.
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
      {"abc", {"f", "b", "X", "-D"}, "X", kOk1, 0},
      {"x\r\nabc", {"f", "c", "", "-D"}, "x\r\n", kOk1, 0},
      {"one\ntwo foo\nthree", {"f", "foo", "X", "-D"}, "one\nX\nthree", kOk1, 0},
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

// A line break is a line feed, with the CR in front of it when there is
// one. Each case below is written with bare line feeds and runs three
// ways: as written, with every line feed a CR LF, and with the two kinds
// taking turns. The CR LF result must be the LF result with each line feed
// a CR LF, and the mixed result, each CR LF made a bare line feed, the LF
// result; the report and the exit code are the same every way.
std::string with_breaks(const std::string& lf_text, bool crlf_first, bool alternate) {
  std::string s;
  bool crlf = crlf_first;
  for (char c : lf_text) {
    if (c == '\n') {
      if (crlf) s += '\r';
      if (alternate) crlf = !crlf;
    }
    s += c;
  }
  return s;
}

std::string bare(const std::string& text) {
  std::string s;
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) s += text[i];
  return s;
}

// Runs each case as written, with CR LF line breaks and with the two kinds
// taking turns (see with_breaks).
void expect_cases_every_break(const std::vector<FileCase>& cases) {
  std::vector<FileCase> crlf;
  for (const FileCase& c : cases)
    crlf.push_back({with_breaks(c.before, true, false), c.args, with_breaks(c.after, true, false),
                    c.out, c.code});
  expect_cases(cases);
  expect_cases(crlf);
  for (const FileCase& c : cases) {
    TempDir dir;
    write_file(dir.file("f"), with_breaks(c.before, true, true));
    RunOptions options;
    options.cwd = dir.path();
    const RunResult result = run_qk(c.args, options);
    std::string trace = "mixed:";
    for (const std::string& arg : c.args)
      trace += " " + arg;
    EXPECT_EQ(bare(read_file(dir.file("f"))), c.after) << trace;
    EXPECT_EQ(result.out, banner() + c.out) << trace;
    EXPECT_EQ(result.exit_code, c.code) << trace;
  }
}

TEST(WholeLines, EveryKindOfLineBreak) {
  const std::string kAppended = "\nNo matches found\n(String appended)\n";
  const std::string kInserted = "\nNo matches found\n(String inserted)\n";
  const std::vector<FileCase> cases = {
      {"keep1\nDEBUG x\nkeep2\nkeep3\n",
       {"f", "DEBUG", "", "-D"},
       "keep1\nkeep2\nkeep3\n",
       kOk1,
       0},
      {"[server]\nport=8080\nhost=a\n[client]\nport=1\n",
       {"f", "port=", "port=9090", "-D"},
       "[server]\nport=9090\nhost=a\n[client]\nport=9090\n",
       kOk2,
       0},
      {"one\ntwo foo\nthree", {"f", "foo", "X", "-D"}, "one\nX\nthree", kOk1, 0},
      {"a\nfoo\nb\n", {"f", "foo", "", "-D:P"}, "a\n\nb\n", kOk1, 0},
      {"a foo b\nx\n", {"f", "foo", "bar", "-D:L"}, "a bar\nx\n", kOk1, 0},
      {"a foo b\nx\n", {"f", "foo", "bar", "-D:R"}, "bar b\nx\n", kOk1, 0},
      {"a foo b\nx\n", {"f", "foo", "new", "-D", "-A"}, "a foo b\nnew\nx\n", kOk1, 0},
      {"a foo b\nx\n", {"f", "foo", "new", "-D", "-I"}, "new\na foo b\nx\n", kOk1, 0},
      {"a foo b\nx\n", {"f", "foo", "[&]", "-D", "-X"}, "[a foo b]\nx\n", kOk1, 0},
      {"a\nfoo\n", {"f", "foo", "x|y", "-D", "-K:6|"}, "a\nx\ny\n", kOk1, 0},
      {"a\n\n\nb\n", {"f", "#!", "", "-D"}, "a\nb\n", kOk2, 0},
      {"ab\nb\nbc\n", {"f", "b!", "X", "-D"}, "X\nX\nbc\n", kOk2, 0},
      {"a\nb\n", {"f", "!", ";"}, "a;\nb;\n", kOk2, 0},
      // The last line without a break of its own.
      {"x\nabc", {"f", "b", "X", "-D"}, "x\nX", kOk1, 0},
      {"x\nabc", {"f", "c", "", "-D"}, "x\n", kOk1, 0},
      // The line filters.
      {"1\nfoo foo\n2\n", {"f", "foo", "-U"}, "1\n2\n", kOk1, 0},
      {"1\nfoo\n2", {"f", "2", "-U"}, "1\nfoo\n", kOk1, 0},
      {"a foo b\nx\n", {"f", "foo", "", "-D:L", "-U"}, "a x\n", kOk1, 0},
      {"a foo\nx\n", {"f", "foo", "-D:R", "-U"}, "x\n", kOk1, 0},
      {"one\ntwo\nsix\n", {"f", "o", "0", "-M"}, "0ne\ntw0\n", kOk2, 0},
      {"a\nx foo yy\nb\n", {"f", "foo", "bar", "-D:R", "-M"}, "bar yy\n", kOk1, 0},
      {"a\nfoo\nb\n", {"f", "foo", "", "-D", "-M"}, "", kOk1, 0},
      // Adding a missing line.
      {"a\nb\n", {"f", "zzz", "X", "-D", "-T"}, "a\nb\nX\n", kAppended, 0},
      {"a\nb", {"f", "zzz", "X", "-D", "-T"}, "a\nb\nX\n", kAppended, 0},
      {"a\nb\n", {"f", "zzz", "X", "-D", "-B"}, "X\na\nb\n", kInserted, 0},
  };
  expect_cases_every_break(cases);
}

// A last line that no line break ends is a line like any other, to the end
// of the file; only an end-of-file mark (Ctrl-Z) stays behind it, last. A
// last line with a break of its own is edited as before.
TEST(WholeLines, LastLineWithoutABreak) {
  const std::string kInserted = "\nNo matches found\n(String inserted)\n";
  const std::string eof = "\x1a";
  const std::vector<FileCase> cases = {
      {"[server]\nport=8080", {"f", "port=", "port=9090", "-D"}, "[server]\nport=9090", kOk1, 0},
      {"keep\nDEBUG x", {"f", "DEBUG", "", "-D"}, "keep\n", kOk1, 0},
      {"a\nkey=old", {"f", "=", "=new", "-D:L"}, "a\nkey=new", kOk1, 0},
      {"a\nx foo y", {"f", "foo", "", "-D:P"}, "a\n", kOk1, 0},
      {"a\nx foo y", {"f", "foo", "", "-D:R"}, "a\n y", kOk1, 0},
      {"a\nx foo y", {"f", "foo", "new", "-D", "-A"}, "a\nx foo y\nnew", kOk1, 0},
      {"a\nx foo y", {"f", "foo", "new", "-D", "-I"}, "a\nnew\nx foo y", kOk1, 0},
      {"a\nx foo y", {"f", "foo", "[&]", "-D", "-X"}, "a\n[x foo y]", kOk1, 0},
      {"a\nx foo y", {"f", "foo", "-U"}, "a\n", kOk1, 0},
      {"a\nx foo y", {"f", "foo", "bar", "-M"}, "x bar y", kOk1, 0},
      {"a\nx foo y", {"f", "foo", "bar", "-D", "-M"}, "bar", kOk1, 0},
      {"foo\nx foo", {"f", "foo", "X", "-D:R"}, "X\nX", kOk2, 0},
      {"x\nabc", {"f", "zzz", "new", "-D", "-B"}, "new\nx\nabc", kInserted, 0},
      // A lone CR is an ordinary byte of the line.
      {"a\nx foo\r", {"f", "foo", "bar", "-D"}, "a\nbar", kOk1, 0},
      // An end-of-file mark stays last.
      {"abc" + eof, {"f", "b", "X", "-D"}, "X" + eof, kOk1, 0},
      {"a\nkey=old" + eof, {"f", "=", "=new", "-D:L"}, "a\nkey=new" + eof, kOk1, 0},
      {"a\nx foo y" + eof, {"f", "foo", "", "-D"}, "a\n" + eof, kOk1, 0},
      {"a\nx foo y" + eof, {"f", "foo", "[&]", "-D", "-X"}, "a\n[x foo y]" + eof, kOk1, 0},
      {"a\nx foo y" + eof, {"f", "foo", "-U"}, "a\n" + eof, kOk1, 0},
      {"a\nx foo y" + eof, {"f", "foo", "bar", "-M"}, "x bar y" + eof, kOk1, 0},
      {"a\nabc" + eof, {"f", "c" + eof, "X", "-D"}, "a\nX", kOk1, 0},
      // A last line with its own break: as before.
      {"a\nx foo y\n", {"f", "foo", "", "-D"}, "a\n", kOk1, 0},
      {"a\nx foo y\n", {"f", "foo", "bar", "-D"}, "a\nbar\n", kOk1, 0},
      {"a\nx foo y\n", {"f", "foo", "-U"}, "a\n", kOk1, 0},
      {"a\nx foo y\n", {"f", "foo", "bar", "-M"}, "x bar y\n", kOk1, 0},
      {"a\nx foo y\n" + eof, {"f", "foo", "", "-D"}, "a\n" + eof, kOk1, 0},
  };
  expect_cases_every_break(cases);
}

// Mixed files: a line goes with its own break, and the breaks QK writes
// are of the kind of the file's first one.
TEST(WholeLines, MixedLineBreaks) {
  expect_cases(
      {
          {"a\r\nDEBUG\nb\r\n", {"f", "debug", "", "-D"}, "a\r\nb\r\n", kOk1, 0},
          {"a\nDEBUG\r\nb\n", {"f", "debug", "", "-D"}, "a\nb\n", kOk1, 0},
          {"a\nfoo\r\nb\r\n", {"f", "foo", "new", "-D", "-A"}, "a\nfoo\nnew\r\nb\r\n", kOk1, 0},
          {"a\r\nfoo\nb\n", {"f", "foo", "new", "-D", "-I"}, "a\r\nnew\r\nfoo\nb\n", kOk1, 0},
          {"a\r\nfoo\nb\n", {"f", "foo", "-U"}, "a\r\nb\n", kOk1, 0},
          {"x\r\na foo\nb\r\n", {"f", "foo", "X", "-M"}, "a X\n", kOk1, 0},
          // A lone CR ends no line.
          {"a\rfoo\nb\n", {"f", "foo", "", "-D"}, "b\n", kOk1, 0},
          // A CR LF whose CR the search text takes in ends no line there; nor
          // does the line end anchor hold before its line feed.
          {"ab\r\ncd\r\n", {"f", "-L", "cr", "X", "-D"}, "X\r\n", kOk1, 0},
          {"ab\r\n", {"f", "-L", "cr", "X", "-D"}, "X\n", kOk1, 0},
          {"ab\r\n", {"f", "-L", "cr", "-U"}, "", kOk1, 0},
          {"ab\r\ncd\r\r", {"f", "-L", "cr-anchored", "X"}, "ab\r\ncX\r", kOk1, 0},
      },
      {{{"cr", "b\r"}, {"cr-anchored", "d\r!"}}, {}, {}});
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
