// The command line end to end: messages and exit codes of bad and missing
// arguments, the help pages, the pause, and arguments of any length and
// any bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/harness.h"

namespace qk::test {
namespace {

const std::string kBad = "\nERROR: Bad or missing command line information\n";
const std::string kCommandLine =
    "\nCommand line: QK <filename> [-L ]<search>[ [-L ]<new>][ -switches]\n";

struct LineCase {
  std::vector<std::string> args;
  std::string out;  // after the banner
  int code;
};

void expect_lines(const std::vector<LineCase>& cases, const std::string& input = "") {
  TempDir dir;
  RunOptions options;
  options.cwd = dir.path();
  options.input = input;
  for (const LineCase& c : cases) {
    write_file(dir.file("f"), "ABC abc");
    RunResult result = run_qk(c.args, options);
    std::string args;
    for (const auto& a : c.args)
      args += "[" + a + "]";
    EXPECT_EQ(result.out, c.out) << args;
    EXPECT_EQ(result.exit_code, c.code) << args;
  }
}

// A bad switch argument: the message names it and says how to give a text
// that begins like a switch.
std::string bad(const std::string& text) {
  return banner() + "\nERROR: Bad command line information: " + text + "\n" + switch_hint();
}

std::string bad_switch() {
  return banner() + kBad + switch_hint();
}

std::string bad_text(const std::string& text) {
  return banner() + "\nERROR: Bad command line information: " + text + "\n";
}

std::string missing(const std::string& what) {
  return banner() + "\nERROR: Missing command line information: " + what + "\n";
}

TEST(CommandLine, RefusedAndMissingArguments) {
  expect_lines({
      {{}, missing("<filename> required"), 2},
      {{"-"}, bad("-"), 2},
      {{"f", "s", "-cq"}, bad("Q"), 2},
      {{"f", "s", "-V:5"}, bad("V:5"), 2},
      {{"f", "s", "-D:X"}, bad("D:X"), 2},
      {{"f", "s", "-B:Q"}, bad("B:Q"), 2},
      {{"f", "s", "-c-v:0"}, bad("-V:0"), 2},
      {{"f", "s", "-DV:5"}, bad_switch(), 2},
      {{"f", "s", "-#"}, bad_switch(), 2},
      {{"f", "s", "-#:Q"}, bad_switch(), 2},
      {{"f", "s", "-&:X"}, bad_switch(), 2},
      {{"f", "s", "-N:A"}, bad_switch(), 2},
      // A name that begins with '-' is a switch unless -G or -- comes first.
      {{"-notes.txt", "s"}, bad("S.TXT"), 2},
      {{"--", "-notes.txt", "s"},
       banner() + "\nERROR: Bad filename or file does not exist: " + shown_name("-notes.txt") +
           "\n",
       1},
      {{"--bogus"}, bad("-BOGUS"), 2},
      {{"f", "s", "-N:256"}, bad("6"), 2},
      {{"f", "s", "-N", "-N"}, bad("N"), 2},
      {{"f", "s", "-#:1,2,3,4,5,6,7,8,9,10,"}, bad(","), 2},
      // Report-only runs end with the found count, even when they failed.
      {{"f", "s", "-#:0,5"}, bad(",5"), 0},
      {{"f", "s", "-K:1a,1b,1c,1d,1e,1f,1g,1h,1i,1j,1k"}, bad_switch(), 2},
      {{"f", "s", "-K"}, bad(""), 2},
      {{"f", "s", "n", "extra"}, bad_text("extra"), 2},
      {{"f", "s", "--", "n", "-C"}, bad_text("-C"), 2},
      // Texts are refused, never cut.
      {{"f", std::string(262, 's')},
       banner() + "\nERROR: Text too long: <search> has 262 characters, at most 261; " +
           "give a longer text in a file with -L\n",
       2},
      {{"f", std::string(262, 's'), "-V:0"}, "", 13},
      {{"f", "s", "-A"}, missing("-A requires <new>"), 2},
      {{"f", "s", "-I"}, missing("-I requires <new>"), 2},
      {{"f", "-C"}, missing("<search> required"), 2},
      {{"f", "s", "-$:X"}, missing("-$ requires output filename"), 2},
      {{"f", "s", "n", "-$"}, missing("-$ requires output filename"), 2},
      {{"f", "s", "n", "-$:A"}, missing("-$:A requires output filename"), 2},
      {{"-$"}, missing("-$ requires output filename"), 2},
      {{"-V:0"}, "", 9},
      {{"-V:1"}, missing("<filename> required"), 2},
      {{"f", "-V:0"}, "", 10},
      {{"f", "s", "-A", "-V:0"}, "", 11},
      {{"f", "s", "n", "-$", "-V:0"}, "", 12},
      {{"f", "s", "-V:0", "-Q"}, "", 8},
  });
}

TEST(CommandLine, SwitchGroupsAndCase) {
  expect_lines({
      {{"f", "abc", "x", "-CV:0"}, "", 0},
      {{"f", "abc", "x", "-C:V:1"}, banner(), 1},
      {{"f", "zzz", "x", "-V:1"}, banner(), 0},
  });
}

TEST(CommandLine, ArgumentCountLimit) {
  TempDir dir;
  write_file(dir.file("f"), "abc");
  RunOptions options;
  options.cwd = dir.path();
  // 126 arguments after the program name are read; 127 are too many.
  std::vector<std::string> args = {"f", "b", "x"};
  while (args.size() < 126)
    args.push_back("-C");
  RunResult result = run_qk(args, options);
  EXPECT_EQ(result.out, banner() + "\nOK: 1 matches found\n");
  EXPECT_EQ(read_file(dir.file("f")), "axc");
  args.push_back("-C");
  result = run_qk(args, options);
  EXPECT_EQ(result.out, banner() + kBad);
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(read_file(dir.file("f")), "axc");
}

TEST(CommandLine, HelpEndsTheRun) {
  const std::string page1_start = "Basic switches:\n";
  const std::string page2_start = "Further Switches:\n";
  TempDir dir;
  RunOptions options;
  options.cwd = dir.path();
  options.input = "xy";
  struct HelpCase {
    std::vector<std::string> args;
    std::vector<std::string> pieces;  // in this order
    int code;
  };
  // '/' begins a switch on Windows only.
  const std::string slash_help = on_windows_build() ? "/?" : "-?";
  const std::vector<HelpCase> cases = {
      {{"-H"}, {banner(), kCommandLine, page1_start}, 0},
      {{slash_help}, {banner(), kCommandLine, page1_start}, 0},
      {{"--help"}, {banner(), kCommandLine, page1_start}, 0},
      {{"f", "--help", "-V"}, {banner(), kCommandLine, page1_start}, 0},
      {{"-h:4"}, {banner(), kCommandLine, page1_start}, 0},
      {{"-H:2"}, {banner(), kCommandLine, page2_start}, 0},
      {{"-H:P"},
       {banner(), kCommandLine, page1_start, "- Press any key to continue -\n\n", page2_start,
        "- Press any key to continue -\n\n", "\nPlease note"},
       0},
      {{"missing", "-H", "-P"},
       {banner(), page1_start, "{CR:OWC}\n- Press any key to continue -\n"},
       0},
  };
  for (const HelpCase& c : cases) {
    RunResult result = run_qk(c.args, options);
    size_t at = 0;
    for (const std::string& piece : c.pieces) {
      size_t found = result.out.find(piece, at);
      ASSERT_NE(found, std::string::npos) << c.args[0] << ": " << piece;
      at = found + piece.size();
    }
    EXPECT_EQ(result.exit_code, c.code) << c.args[0];
    EXPECT_EQ(result.out.find("ERROR"), std::string::npos);
  }
  for (const char* page_v : {"-H:V", "--version"}) {
    RunResult version = run_qk({page_v}, options);
    EXPECT_EQ(version.out, banner()) << page_v;
    EXPECT_EQ(version.exit_code, 0) << page_v;
  }
  RunResult silent = run_qk({"-H", "-V:0"}, options);
  EXPECT_EQ(silent.out, "");
  EXPECT_EQ(silent.exit_code, 9);
}

TEST(CommandLine, PauseComesLast) {
  TempDir dir;
  write_file(dir.file("f"), "abc");
  RunOptions options;
  options.cwd = dir.path();
  for (const std::string& input : {std::string("k"), std::string()}) {
    options.input = input;
    write_file(dir.file("f"), "abc");
    RunResult result = run_qk({"f", "b", "x", "-P"}, options);
    EXPECT_EQ(result.out, banner() + "\nOK: 1 matches found\n- Press any key to continue -\n");
    result = run_qk({"missing", "b", "x", "-P"}, options);
    EXPECT_EQ(result.out, banner() + "\nERROR: Bad filename or file does not exist: " +
                              shown_name("missing") + "\n- Press any key to continue -\n");
    EXPECT_EQ(result.exit_code, 1);
    write_file(dir.file("f"), "abc");
    result = run_qk({"f", "b", "x", "-P", "-V:0"}, options);
    EXPECT_EQ(result.out, "");
  }
}

// Double quotes in texts: a POSIX shell hands over the ones the user meant,
// and they stay, with or without -Z; a Windows build repairs the command
// lines its runtime splits at an escaped quote, unless -Z comes first.
TEST(CommandLine, QuotesInTexts) {
  const std::string csv = "1,\"C:\\temp\\a\"\n";
  const std::string json = "{\"debug\": true}\n";
  const std::string kOk1 = "\nOK: 1 matches found\n";
  const std::string kOk2 = "\nOK: 2 matches found\n";
  if (on_windows_build()) {
    expect_cases({
        {csv, {"f", "\"", "'"}, "1,\"C:'temp'a\"\n", kOk2, 0},
        {csv, {"-Z", "f", "\"", "'"}, "1,'C:\\temp\\a'\n", kOk2, 0},
        {json, {"-Z", "f", "\"debug\": true", "\"debug\": false"}, "{\"debug\": false}\n", kOk1, 0},
    });
    return;
  }
  expect_cases({
      {csv, {"f", "\"", "'"}, "1,'C:\\temp\\a'\n", kOk2, 0},
      {csv, {"f", "\"", "'", "-Z"}, "1,'C:\\temp\\a'\n", kOk2, 0},
      {csv, {"-Z", "f", "\"", "'"}, "1,'C:\\temp\\a'\n", kOk2, 0},
      {json, {"f", "\"debug\": true", "\"debug\": false"}, "{\"debug\": false}\n", kOk1, 0},
      {"say \"hi\"", {"f", "hi\"", "bye\""}, "say \"bye\"", kOk1, 0},
      {"a=\"\"", {"f", "=\"\"", "=\"x\""}, "a=\"x\"", kOk1, 0},
      // -' still turns the apostrophes of <new> into double quotes.
      {"it is", {"f", "is", "'s'", "-'"}, "it \"s\"", kOk1, 0},
  });
}

TEST(CommandLine, AnyLengthAndAnyBytes) {
  TempDir dir;
  write_file(dir.file("f"), std::string(300, 'a'));
  RunOptions options;
  options.cwd = dir.path();
  // A search text longer than a text slot is refused, not cut.
  RunResult result = run_qk({"f", std::string(10000, 'a'), "b"}, options);
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(read_file(dir.file("f")), std::string(300, 'a'));
  // Long file names, switches and texts never crash, whatever their bytes.
  std::string all_bytes;
  for (int b = 1; b < 256; ++b)
    all_bytes += static_cast<char>(b);
  const std::vector<std::vector<std::string>> lines = {
      {std::string(5000, 'x'), "a", "b"},
      {"f", all_bytes, all_bytes},
      {"-" + all_bytes},
      {"f", "a", "b", "-" + std::string(5000, 'C')},
      {"f", "a", "b", "-K:" + all_bytes},
      {"f", "a", "b", "-#:" + std::string(3000, '9')},
      {"f", "%s%n%s", "%d"},
      {"f", "", "", "", "", ""},
      {"\"", "a\"b", "c\"d\"e"},
  };
  for (const auto& args : lines) {
    result = run_qk(args, options);
    EXPECT_LT(result.exit_code, 128) << args[0].substr(0, 20);
  }
  for (int c = 1; c < 256; ++c) {
    result = run_qk({"f", "zzz", "y", std::string("-") + static_cast<char>(c)}, options);
    EXPECT_LT(result.exit_code, 128) << c;
    result = run_qk({"f", "zzz", "y", std::string("-") + static_cast<char>(c) + ":"}, options);
    EXPECT_LT(result.exit_code, 128) << c;
  }
}

}  // namespace
}  // namespace qk::test
