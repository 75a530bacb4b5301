// Tests of the banner and the help pages. The expected pages are written out
// here line by line, independently of the tables in the program, so that a
// changed character in either place shows up; the remaining cases check which
// pages each help setting selects and what a help run does to the error code.
// The paged form reads keys from standard input and is covered end to end.
#include "cmdline/help.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace qk {
namespace {

const char kBannerLine[] =
    "QK Utility v1.79ZD+ [TURBO] [WIN32] (c) 2026 The QK Project - see the QK user guide\n";

const char kCommandLine[] =
    "\nCommand line: QK <filename> [-L ]<search>[ [-L ]<new>][ -switches]\n";

std::string join(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines)
    all += line;
  return all;
}

const std::string kPage1 = join({
    "Basic switches:\n",
    "-A -I  Append/Insert the new string instead of replacing the search string\n",
    "       You must give the new string if using -A or -I\n",
    "-C     Perform a case sensitive search\n",
    "-D[:P] Make QK work in whole lines -D:P Preserve empty lines\n",
    "       -D:L to preserve Left hand /D:R Right hand contents of line\n",
    "       A line ends at LF or CR LF; QK writes line breaks like the file's first\n",
    "-H[:x] This help; -H:2 or -H:3 for more, :A for All :P for Paged, :V Ver string\n",
    "-O     Overwrite bytes after the search string if the new string is longer\n",
    "       Has no effect if you use -A or -I\n",
    "-U -M  Write (Un)modified lines of the file only\n",
    "-P     Pause before ending\n",
    "-V[:x] Verbosity level max [:0]-silent [:1]-quiet [:2]-default [:3]-max\n",
    "-n[:b] Where n is the special char. to disable [or change to byte b]\n",
    "Special characters:         (recommend use double quotes to enclose args)\n",
    "-1     @ in <search> is a wildcard\n",
    "-2     & in <new> will be replaced by <search>\n",
    "-3     # at start of <search> only matches at start of line\n",
    "-4     ! at end of <search> only matches at end of line\n",
    "# at start and % at end only matches if <search> is entire line     {CR:OWC}\n",
});

const std::string kPage2 = join({
    "Further Switches:\n",
    "-B -T  If no matches, add new string to the Begining / Tag to the end of file\n",
    "[:C]   Use with -D to add whole lines. Use :C to create file if not exist or RO\n",
    "-G -E  NEXT separate arg is text arg/from environment -GE Environment first\n",
    "--     Ends the switches: later args are texts. --help, --version as -H, -H:V\n",
    "-K:mC  Put a special func char. in new - m for mode and C for char to replace\n",
    "-K:RM  Reset /K randomisation every Match\n",
    "-#:a   Specify matches - O-Odd, E-Even, L-Last, I-Ignore 1st, J-ignore last\n",
    "       a,a,a match list (up to 10). -#:0 to report only, -#:R report or error.\n",
    "-N[:x] Pad ASCII byte to the RHS of <new>\n",
    "-W[:x] Use with -B -T to change wildcards in <new>\n",
    "-'     Changes ' in the new string to \"\n",
    "-X     With -D and the & spec. char in <new>, & becomes a whole line\n",
    "-Z     See Help file     -&[:a] Change which case is used for & in new string\n",
    "-$[:A] Next text argument is the output filename [Append output file]\n",
    "-~     Disable intelligent file writing (-$ forces this anyway)\n",
    "\n",
    "QK Returns a DOS Errorlevel:\n",
    "0-Normal            3-Not enough init mem  6-Cant create file      9-File RO\n",
    "1-File not found    4-File too big         7-Cant load search/new\n",
    "2-Bad cmd line info 5-Cant read file       8-Ext Err-Write fail\n",
});

const std::string kPage3 = join({
    "\n",
    "Please note that this program is supplied without warranties, guarantees or\n",
    "indemnities; implied or otherwise. Usage of this program is entirely at the\n",
    "risk of the user. Other additional terms may apply as specified in the license\n",
    "agreement or web site.\n",
    "\n",
    "For more information please contact The QK Project:\n",
    "\n",
    "User guide: docs/user-guide.md (installed as 'man qk')\n",
    "Support: the QK project's issue tracker\n",
});

struct Printed {
  std::string text;
  int32_t error_code;
};

Printed help_output(char help, char page, char verbosity, int32_t error_code) {
  test::ConsoleCapture console;
  qk::Run run;
  run.console = console.stream();
  run.settings.help = help;
  run.settings.help_page = page;
  run.settings.verbosity = verbosity;
  run.error_code = error_code;
  print_help(run);
  return {console.text(), run.error_code};
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

TEST(Banner, PrintedAtEveryVerbosityButSilent) {
  const struct {
    char verbosity;
    const char* expected;
  } cases[] = {
      {'0', ""},
      {'1', kBannerLine},
      {'2', kBannerLine},
      {'3', kBannerLine},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("verbosity ") + c.verbosity);
    test::ConsoleCapture console;
    qk::Run run;
    run.console = console.stream();
    run.settings.verbosity = c.verbosity;
    run.error_code = -9;
    print_banner(run);
    EXPECT_EQ(console.text(), c.expected);
    EXPECT_EQ(run.error_code, -9);  // the banner alone never clears a failure
  }
}

TEST(Help, EachPageSettingSelectsItsPages) {
  const struct {
    char page;
    std::string expected;
  } cases[] = {
      {'1', kCommandLine + kPage1},
      {'2', kCommandLine + kPage2},
      {'3', kPage3},
      {'A', kCommandLine + kPage1 + "\n" + kPage2 + "\n" + kPage3},
      {'V', ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("page ") + c.page);
    Printed printed = help_output('H', c.page, '2', 0);
    EXPECT_EQ(printed.text, c.expected);
  }
}

TEST(Help, PageLinesFitAnEightyColumnConsole) {
  // An 80-column console wraps a line of 80 characters and then shows an
  // empty line after it; a stray blank in a table would do just that.
  for (const std::string& line : lines_of(help_output('H', 'A', '2', 0).text)) {
    EXPECT_LE(line.size(), 79u) << line;
    EXPECT_EQ(line.find('\t'), std::string::npos) << line;
  }
}

TEST(Help, ShownHelpEndsTheRunWithoutError) {
  const struct {
    char page;
    char verbosity;
    int32_t before;
  } cases[] = {
      {'1', '1', -9},   // -H alone: no file name
      {'2', '2', -8},   // a bad argument beside the help request
      {'3', '3', -2},   // too many arguments
      {'V', '2', -10},  // the version page prints nothing but still clears
      {'A', '1', 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("page ") + c.page + " verbosity " + c.verbosity);
    Printed printed = help_output('H', c.page, c.verbosity, c.before);
    EXPECT_EQ(printed.error_code, 0);
  }
}

TEST(Help, SilentOrUnaskedHelpPrintsNothingAndKeepsTheError) {
  const struct {
    char help;
    char page;
    char verbosity;
    int32_t before;
  } cases[] = {
      {'H', '1', '0', -9},                       // -H -V:0 with no file name
      {'H', 'A', '0', -8}, {'H', 'P', '0', -2},  // must not wait for a key either
      {'H', 'V', '0', 0},  {0, 0, '2', -9},      // no help asked: the failure is reported later
      {0, 0, '3', 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("page ") + (c.page ? c.page : '-') + " verbosity " + c.verbosity);
    Printed printed = help_output(c.help, c.page, c.verbosity, c.before);
    EXPECT_EQ(printed.text, "");
    EXPECT_EQ(printed.error_code, c.before);
  }
}

}  // namespace
}  // namespace qk
