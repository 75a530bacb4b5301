// Tests of the command-line reader and its validation. Each case runs a
// whole command line through reading and validation on a fresh run and looks
// at what a later stage would see: the settings, the text slots and lengths,
// the match list, the -K entries, the error code and the offending text.
#include "cmdline/command_line.h"
#include "cmdline/parse.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qk {
namespace {

using test::Args;
using test::parse;

std::string describe(const Args& args) {
  std::string all = "QK";
  for (const std::string& arg : args)
    all += " [" + arg + "]";
  return all;
}

std::string search_text(const Run& run) {
  return std::string(run.texts.search, run.texts.search_len);
}

std::string new_text(const Run& run) {
  return std::string(run.texts.new_text, run.texts.new_len);
}

TEST(CommandLineTest, ErrorCodesAndOffendingText) {
  struct Case {
    Args args;
    int32_t error;
    bool has_bad_text;
    std::string bad_text;
  };
  const std::vector<Case> cases = {
      {{}, -9, false, ""},
      {{"f", "s", "n"}, 0, false, ""},
      {{"-"}, -8, true, "-"},
      // '/' begins a path here, not a switch.
      {{"f", "s", "/"}, 0, false, ""},
      {{"f", "s", "-cq"}, -8, true, "Q"},
      {{"f", "s", "-c-v:0"}, -8, true, "-V:0"},
      {{"/c/v:0", "s", "/x"}, 0, false, ""},
      // After "--" every argument is a text, "--" and "-H" included.
      {{"f", "--", "-x", "-y"}, 0, false, ""},
      {{"f", "s", "--", "n", "-C"}, -8, true, "-C"},
      {{"--", "-f", "--", "-H"}, 0, false, ""},
      {{"f", "s", "-C:"}, -8, true, ":"},
      {{"f", "s", "-C::V"}, -8, true, "::V"},
      {{"f", "s", "-V:5"}, -8, true, "V:5"},
      {{"f", "s", "-D:X"}, -8, true, "D:X"},
      {{"f", "s", "-B:Q"}, -8, true, "B:Q"},
      {{"f", "s", "-H:4"}, -8, true, "H:4"},
      // Refused items in a pass that accepted something else are only
      // noticed by validation, which has no text to show.
      {{"f", "s", "-DV:5"}, -8, false, ""},
      {{"f", "s", "-#"}, -8, false, ""},
      {{"f", "s", "-#:Q"}, -8, false, ""},
      {{"f", "s", "-&:X"}, -8, false, ""},
      {{"f", "s", "-N:A"}, -8, false, ""},
      {{"f", "s", "-K"}, -8, true, ""},
      {{"f", "s", "-K:1"}, -8, true, ":1"},
      {{"f", "s", "-K:QQ"}, -8, true, "QQ"},
      {{"f", "s", "-K:1a,QQ"}, -8, false, ""},
      // The refused list item is the simple letter Z.
      {{"f", "s", "-K:ZZ"}, -8, false, ""},
      {{"f", "s", "-K:1a,1b,1c,1d,1e,1f,1g,1h,1i,1j,1k"}, -8, false, ""},
      {{"f", "s", "n", "x"}, -8, true, "x"},
      {{"f", "s", "n", ""}, -8, true, ""},
      {{"f", "s", "-N:256"}, -8, true, "6"},
      {{"f", "s", "-N:07"}, -8, true, "7"},
      {{"f", "s", "-N", "-N"}, -8, true, "N"},
      {{"f", "s", "-W:1000"}, -8, true, "0"},
      {{"f", "s", "-#:1,2,3,4,5,6,7,8,9,10,"}, -8, true, ","},
      {{"f", "s", "-#:1,2,3,4,5,6,7,8,9,10", "-#:4"}, -8, true, "4"},
      {{"f", "s", "-#:999999999"}, -8, true, "9"},
      {{"f", "s", "-#:0,5"}, -8, true, ",5"},
      // The first bad text stays, even when a later argument is bad too.
      {{"f", "s", "-#:1234567890", "n", "x"}, -8, true, "0"},
      {{"f", "s", "-A"}, -11, false, ""},
      {{"f", "s", "-I"}, -11, false, ""},
      {{"f", "", "-I"}, -10, false, ""},
      {{"f", "s", "-$:X"}, -12, true, "$:X"},
      {{"f", "s", "n", "-$"}, -12, false, ""},
      {{"f", "s", "n", "-$:A"}, -12, false, ""},
      {{"-$"}, -12, false, ""},
      {{"f", "-$", "", "s"}, -12, false, ""},
      {{"f", "s", "n", "-$", "out"}, 0, false, ""},
      {{"f", "s", "n", "-K:1&"}, -2, false, ""},
      {{"f", "s", "n", "-K:1&", "-2"}, 0, false, ""},
      {{"f", "s", "", "-K:1&"}, 0, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.args));
    auto run = parse(c.args);
    EXPECT_EQ(run->error_code, c.error);
    EXPECT_EQ(run->parse.has_bad_text, c.has_bad_text);
    if (c.has_bad_text) {
      EXPECT_EQ(run->parse.bad_text, c.bad_text);
    }
  }
}

// A text that does not fit a slot is refused, never cut; a name is taken
// whole up to the longest path, and a longer one refused the same way.
TEST(CommandLineTest, TooLongIsRefusedNotCut) {
  struct Case {
    Args args;
    char too_long;  // 0: accepted
    size_t length;
  };
  const std::string fits(kSlotText, 's');
  const std::string over(kSlotText + 1, 's');
  const std::string long_name(kNameText, 'f');
  const std::string over_name(kNameText + 1, 'f');
  const std::vector<Case> cases = {
      {{"f", fits, fits}, 0, 0},
      {{"f", over, "n"}, 'S', over.size()},
      {{"f", "s", over}, 'N', over.size()},
      {{long_name, "s"}, 0, 0},
      {{over_name, "s"}, 'F', over_name.size()},
      {{"f", "s", "-$", over_name}, 'O', over_name.size()},
      // Validation finds a missing output name first.
      {{"f", over, "-$"}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.args));
    auto run = parse(c.args);
    EXPECT_EQ(run->parse.too_long, c.too_long);
    if (c.too_long) {
      EXPECT_EQ(run->error_code, -13);
      EXPECT_EQ(run->parse.too_long_length, c.length);
    }
  }
  auto run = parse({long_name, "s"});
  EXPECT_EQ(std::string(run->texts.slots.file_name), long_name);
  // An -L text names a file: its name is used whole.
  const std::string file_name = "missing-" + over;
  run = parse({"f", "-L", file_name, "-L", "n"});
  EXPECT_EQ(run->error_code, -7);
  EXPECT_EQ(run->texts.search_file, file_name);
}

TEST(CommandLineTest, ArgumentCountLimit) {
  struct Case {
    size_t switches;  // added after "f s n"
    int32_t error;
  };
  // The program name and "f s n" make four arguments.
  const std::vector<Case> cases = {{123, 0}, {124, -2}, {200, -2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.switches);
    Args args{"f", "s", "n"};
    args.insert(args.end(), c.switches, "-C");
    auto run = parse(args);
    EXPECT_EQ(run->error_code, c.error);
    // A refused command line is not read at all.
    EXPECT_EQ(run->settings.case_sensitive, c.error == 0 ? 'C' : 0);
    EXPECT_EQ(std::string(run->texts.slots.file_name), c.error == 0 ? "f" : "");
  }
}

TEST(CommandLineTest, SwitchSettings) {
  struct Case {
    Args args;
    char Settings::*field;
    char expected;
  };
  const Args base{"f", "s", "n"};
  auto with = [&base](std::initializer_list<std::string> more) {
    Args args = base;
    args.insert(args.end(), more);
    return args;
  };
  const std::vector<Case> cases = {
      {base, &Settings::verbosity, '2'},
      {base, &Settings::amp_case, 0},
      {with({"-cq"}), &Settings::case_sensitive, 'C'},
      {with({"-CV:0"}), &Settings::case_sensitive, 'C'},
      {with({"-CV:0"}), &Settings::verbosity, '0'},
      {with({"-C:V:0"}), &Settings::case_sensitive, 'C'},
      {with({"-C:V:0"}), &Settings::verbosity, '0'},
      {{"f", "s", "/v:1"}, &Settings::verbosity, '2'},
      {with({"--help"}), &Settings::help_page, '1'},
      {with({"--version"}), &Settings::help, 'H'},
      {with({"--version"}), &Settings::help_page, 'V'},
      // After a refused item no switch argument is read, --help neither.
      {with({"-DV:5", "--help"}), &Settings::help, 0},
      {with({"-V"}), &Settings::verbosity, '3'},
      // A recognised letter keeps its setting when its option is refused.
      {with({"-V:5"}), &Settings::verbosity, '3'},
      {with({"-H:4"}), &Settings::help, 'H'},
      {with({"-H:4"}), &Settings::help_page, '1'},
      {with({"-$:X"}), &Settings::output, '$'},
      {with({"-$:X"}), &Settings::output_mode, '$'},
      // Reading stops at the first bad argument.
      {with({"-q", "-V"}), &Settings::verbosity, '2'},
      {{"f", "s", "n", "x", "-V"}, &Settings::verbosity, '2'},
      // After a refused item no switch argument is read, texts still are.
      {{"f", "-DV:5", "-C", "s"}, &Settings::case_sensitive, 0},
      {with({"-?"}), &Settings::help, 'H'},
      {with({"-?"}), &Settings::help_page, '1'},
      {with({"-h:a"}), &Settings::help_page, 'A'},
      {with({"-H:2", "-H"}), &Settings::help_page, '2'},
      {with({"-H:v"}), &Settings::help_page, 'V'},
      {with({"-A", "-I"}), &Settings::append_insert, 'I'},
      {with({"-I", "-A"}), &Settings::append_insert, 'A'},
      {with({"-U", "-M"}), &Settings::line_filter, 'M'},
      {with({"-M", "-U"}), &Settings::line_filter, 'U'},
      {with({"-B", "-T"}), &Settings::add_mode, 'T'},
      {with({"-b:c"}), &Settings::add_mode, 'B'},
      {with({"-b:c"}), &Settings::create, 'C'},
      {with({"-T:C"}), &Settings::add_mode, 'T'},
      {with({"-T:C"}), &Settings::create, 'C'},
      {with({"-T"}), &Settings::create, 0},
      {with({"-D"}), &Settings::whole_lines, 'D'},
      {with({"-D"}), &Settings::line_option, 0},
      {with({"-d:r"}), &Settings::line_option, 'R'},
      {with({"-D:P"}), &Settings::line_option, 'P'},
      {with({"-BD$", "out"}), &Settings::add_mode, 'B'},
      {with({"-BD$", "out"}), &Settings::whole_lines, 'D'},
      {with({"-BD$", "out"}), &Settings::output, '$'},
      {with({"-BD$", "out"}), &Settings::output_mode, '$'},
      {with({"-BD$", "out"}), &Settings::full_writing, '~'},
      {with({"-$:a", "out"}), &Settings::output_mode, 'A'},
      {with({"-&"}), &Settings::amp, '&'},
      {with({"-&"}), &Settings::amp_case, 'C'},
      {with({"-&:l"}), &Settings::amp_case, 'L'},
      {with({"-&:U"}), &Settings::amp_case, 'U'},
      {with({"-C&"}), &Settings::amp, '&'},
      {with({"-A#"}), &Settings::append_insert, 'A'},
      {with({"-A#"}), &Settings::start_anchor, '#'},
      {with({"-C#"}), &Settings::start_anchor, '#'},
      {with({"-%"}), &Settings::end_anchor, '%'},
      {with({"-X'ZO~P"}), &Settings::whole_line_amp, 'X'},
      {with({"-X'ZO~P"}), &Settings::quote_change, '\''},
      {with({"-X'ZO~P"}), &Settings::no_quote_conv, 'Z'},
      {with({"-X'ZO~P"}), &Settings::overwrite, 'O'},
      {with({"-X'ZO~P"}), &Settings::full_writing, '~'},
      {with({"-X'ZO~P"}), &Settings::pause, 'P'},
      {with({"-PX"}), &Settings::whole_line_amp, 'X'},
      // Pending states left at the end are kept, and ignored.
      {with({"-GE"}), &Settings::g_pending, 'G'},
      {with({"-EG"}), &Settings::e_pending, 'E'},
      {with({"-EG"}), &Settings::g_pending, 'G'},
      {{"f", "-G", "s", "n"}, &Settings::g_pending, 0},
      {with({"-#:O"}), &Settings::selection, '#'},
      {with({"-#:O"}), &Settings::selection_mode, 'O'},
      {with({"-#:r"}), &Settings::selection_mode, 'R'},
      {with({"-#:0"}), &Settings::selection_mode, '0'},
      {with({"-#:3"}), &Settings::selection_mode, 'S'},
      {with({"-#:3", "-#:j"}), &Settings::selection_mode, 'J'},
      {with({"-#:e", "-#:3"}), &Settings::selection_mode, 'S'},
      {with({"-K:RM"}), &Settings::special_k, 'K'},
      {with({"-k:rm"}), &Settings::reset_per_match, 'M'},
      {with({"-W"}), &Settings::wildcard_change, 'W'},
      {with({"-N:5W"}), &Settings::wildcard_change, 'W'},
      {with({"-N:5:W"}), &Settings::wildcard_change, 'W'},
      {with({"-N:5:W"}), &Settings::padding, 'N'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.args));
    auto run = parse(c.args);
    EXPECT_EQ(run->settings.*c.field, c.expected);
  }
}

TEST(CommandLineTest, PadAndWildcardBytes) {
  struct Case {
    Args args;
    int32_t error;
    int pad_byte;
    int wildcard_byte;
    char special1;  // after validation, 0 when disabled
  };
  const std::vector<Case> cases = {
      {{"f", "s"}, 0, 32, 32, '@'},
      {{"f", "s", "-N"}, 0, 32, 32, '@'},
      {{"f", "s", "-N:9"}, 0, 9, 32, '@'},
      {{"f", "s", "-N:0"}, 0, 0, 32, '@'},
      {{"f", "s", "-N:255"}, 0, 255, 32, '@'},
      {{"f", "s", "-N:321"}, 0, 32, 32, 0},
      {{"f", "s", "-N:25:W:7"}, 0, 25, 7, '@'},
      {{"f", "s", "-w:200", "-n:1"}, 0, 1, 200, '@'},
      {{"f", "s", "-N:256"}, -8, 32, 32, '@'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.args));
    auto run = parse(c.args);
    EXPECT_EQ(run->error_code, c.error);
    EXPECT_EQ(run->settings.pad_byte, c.pad_byte);
    EXPECT_EQ(run->settings.wildcard_byte, c.wildcard_byte);
    EXPECT_EQ(run->settings.special[1], c.special1);
  }
}

TEST(CommandLineTest, SpecialCharacters) {
  struct Case {
    Args switches;
    std::string specials;  // characters 1 to 4 after validation
  };
  using namespace std::string_literals;
  const std::vector<Case> cases = {
      {{}, "@&#!"},
      {{"-12"}, "\0\0#!"s},
      {{"-1:x2"}, "x\0#!"s},
      {{"-1:X"}, "X&#!"},
      {{"-3:^", "-4:$"}, "@&^$"},
      {{"-4", "-1:4"}, "4&#\0"s},
      {{"-2:%", "-2"}, "@\0#!"s},
      {{"-N:321"}, "\0&#!"s},
  };
  for (const Case& c : cases) {
    Args args{"f", "s", "n"};
    args.insert(args.end(), c.switches.begin(), c.switches.end());
    SCOPED_TRACE(describe(args));
    auto run = parse(args);
    EXPECT_EQ(run->error_code, 0);
    EXPECT_EQ(std::string(run->settings.special + 1, 4), c.specials);
  }
}

TEST(CommandLineTest, TextDestinations) {
  struct Case {
    Args args;
    std::string file;
    std::string search;
    std::string new_text;
    std::string output_name;
    bool repair_quotes = false;  // as on Windows
  };
  const std::string long_text(300, 'q');
  const std::vector<Case> cases = {
      {{"f", "s", "n"}, "f", "s", "n", ""},
      {{"Mixed.Txt", "s"}, "Mixed.Txt", "s", "", ""},
      {{"f", "", "n"}, "f", "n", "", ""},
      {{"", "f", "s"}, "f", "s", "", ""},
      {{"f", "-G", "-x", "new"}, "f", "-x", "new", ""},
      {{"f", "-G", "/x"}, "f", "/x", "", ""},
      {{"f", "-G", "plain", "-C"}, "f", "plain", "", ""},
      {{"f", "s", "n", "-$", "out"}, "f", "s", "n", "out"},
      {{"-$", "out", "f", "s"}, "f", "s", "", "out"},
      {{"f", "-$", "-G", "-out", "s"}, "f", "s", "", "-out"},
      {{long_text, "s", "n"}, long_text, "s", "n", ""},
      {{"f", "s", "-$", long_text}, "f", "s", "", long_text},
      {{"/tmp/f", "/s", "/n"}, "/tmp/f", "/s", "/n", ""},
      {{"-$", "--", "-out", "-f", "-s"}, "-f", "-s", "", "-out"},
      // A POSIX shell hands over the quotes the user meant: they stay.
      {{"f", "\"", "'"}, "f", "\"", "'", ""},
      {{"c.json", "\"debug\": true", "\"debug\": false"},
       "c.json",
       "\"debug\": true",
       "\"debug\": false",
       ""},
      {{"f", "s\"", "-Z"}, "f", "s\"", "", ""},
      {{"f\"x-C", "s"}, "f\"x-C", "s", "", ""},
      // A Windows runtime that read '\"' as an escaped quote.
      {{"C:\\dir\" abc", "n"}, "C:\\dir\\", "abc", "n", "", true},
      {{"f", "s\""}, "f", "s\\", "", "", true},
      {{"f", "a\"xb\r"}, "f", "a\\", "b", "", true},
      {{"f\"xa\"xb"}, "f\\", "a\\", "b", "", true},
      {{"f\"x\r", "s"}, "f\\", "s", "", "", true},
      {{"-Z", "f", "a\"b"}, "f", "a\"b", "", "", true},
      {{"f\"x-C", "s"}, "f\\", "s", "", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.args));
    auto run = parse(c.args, c.repair_quotes);
    const TextSlots& slots = run->texts.slots;
    EXPECT_EQ(std::string(slots.file_name), c.file);
    EXPECT_EQ(search_text(*run), c.search);
    EXPECT_EQ(new_text(*run), c.new_text);
    EXPECT_EQ(std::string(slots.output_name), c.output_name);
    for (const char* slot : {slots.search, slots.new_text})
      EXPECT_EQ(slot[kSlotText], '\0');
  }
}

// The rest of a repaired argument is read as an argument of its own.
TEST(CommandLineTest, RemaindersAreArgumentsOfTheirOwn) {
  struct Case {
    Args args;
    char Settings::*field;
    char expected;
    int32_t error;
  };
  const std::vector<Case> cases = {
      {{"f\"x-C", "s"}, &Settings::case_sensitive, 'C', 0},
      // -Z spares the arguments after the one that holds it, not that one.
      {{"f", "s", "-Z\"x"}, &Settings::no_quote_conv, 'Z', -8},
      {{"f", "s\"x-G", "-n"}, &Settings::padding, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.args));
    auto run = parse(c.args, true);
    EXPECT_EQ(run->error_code, c.error);
    EXPECT_EQ(run->settings.*c.field, c.expected);
  }
  auto run = parse({"f", "s", "-Z\"x"}, true);
  EXPECT_EQ(run->parse.bad_text, "\\");
  run = parse({"f", "s\"x-G", "-n"}, true);
  EXPECT_EQ(new_text(*run), "-n");
}

TEST(CommandLineTest, SearchPreparation) {
  struct Case {
    Args args;
    std::string search;
    bool start_anchor;
    bool end_anchor;
  };
  const std::vector<Case> cases = {
      {{"f", "#abc!"}, "abc", true, true},
      {{"f", "#abc!", "-3"}, "#abc", false, true},
      {{"f", "#abc!", "-4"}, "abc!", true, false},
      {{"f", "^abc", "-3:^"}, "abc", true, false},
      {{"f", "#abc", "-3:^"}, "#abc", false, false},
      {{"f", "#"}, "", true, false},
      {{"f", "##x"}, "#x", true, false},
      {{"f", "abc", "-%"}, "abc", false, true},
      {{"f", "abc", "-C#"}, "abc", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.args));
    auto run = parse(c.args);
    EXPECT_EQ(run->error_code, 0);
    EXPECT_EQ(search_text(*run), c.search);
    EXPECT_EQ(run->settings.start_anchor != 0, c.start_anchor);
    EXPECT_EQ(run->settings.end_anchor != 0, c.end_anchor);
  }
}

TEST(CommandLineTest, NewTextPreparation) {
  struct Case {
    Args args;
    std::string new_text;
  };
  const std::vector<Case> cases = {
      {{"f", "s", "it's"}, "it's"},
      {{"f", "s", "it's", "-'"}, "it\"s"},
      {{"f", "s", "a'b'c", "-'"}, "a\"b\"c"},
      {{"f", "s", "", "-'"}, ""},
      {{"f", "s", "say q", "-K:0q"}, "say \""},
      {{"f", "s", "'q'", "-K:0q", "-'"}, "\"\"\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.args));
    auto run = parse(c.args);
    EXPECT_EQ(run->error_code, 0);
    EXPECT_EQ(new_text(*run), c.new_text);
  }
}

TEST(CommandLineTest, MatchList) {
  struct Case {
    Args switches;
    std::vector<int32_t> numbers;
    char mode;
  };
  const std::vector<Case> cases = {
      {{"-#:3"}, {3}, 'S'},
      {{"-#:3,5", "-#:7"}, {3, 5, 7}, 'S'},
      {{"-#:1,2,3,4,5,6,7,8,9,10"}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 'S'},
      {{"-#:5,0,7"}, {5, 7}, 'S'},
      {{"-#:5,,07,"}, {5, 7}, 'S'},
      {{"-#:3,5", "-#:L"}, {3, 5}, 'L'},
      {{"-#:100000000"}, {100000000}, 'S'},
      {{"-#:2C"}, {2}, 'S'},
      {{"-#:O"}, {}, 'O'},
  };
  for (const Case& c : cases) {
    Args args{"f", "s", "n"};
    args.insert(args.end(), c.switches.begin(), c.switches.end());
    SCOPED_TRACE(describe(args));
    auto run = parse(args);
    EXPECT_EQ(run->error_code, 0);
    const MatchList& list = run->match_list;
    EXPECT_EQ(std::vector<int32_t>(list.numbers, list.numbers + list.count), c.numbers);
    EXPECT_EQ(run->settings.selection_mode, c.mode);
  }
}

TEST(CommandLineTest, KEntries) {
  struct Case {
    Args switches;
    std::vector<std::pair<int, char>> entries;
    int line_breaks;
    char reset;
  };
  const std::vector<Case> cases = {
      {{"-K:1x"}, {{1, 'x'}}, 0, 0},
      {{"-K:1a,6b,2c,6d"}, {{6, 'b'}, {6, 'd'}, {2, 'c'}, {1, 'a'}}, 2, 0},
      {{"-K:1x,6Y,RM"}, {{6, 'Y'}, {1, 'x'}}, 1, 'M'},
      {{"-K:1a", "-k:6b"}, {{6, 'b'}, {1, 'a'}}, 1, 0},
      {{"-k:hq,iQ,c%,g>,l<,0z"},
       {{'H', 'q'}, {'I', 'Q'}, {'C', '%'}, {'G', '>'}, {'L', '<'}, {0, 'z'}},
       0,
       0},
      {{"-K:rm,9,"}, {{9, ','}}, 0, 'M'},
      {{"-K:1aC"}, {{1, 'a'}}, 0, 0},
      {{"-K:1a,1b,1c,1d,1e,1f,1g,1h,1i,1j"},
       {{1, 'a'},
        {1, 'b'},
        {1, 'c'},
        {1, 'd'},
        {1, 'e'},
        {1, 'f'},
        {1, 'g'},
        {1, 'h'},
        {1, 'i'},
        {1, 'j'}},
       0,
       0},
  };
  for (const Case& c : cases) {
    Args args{"f", "s", "n"};
    args.insert(args.end(), c.switches.begin(), c.switches.end());
    SCOPED_TRACE(describe(args));
    auto run = parse(args);
    EXPECT_EQ(run->error_code, 0);
    std::vector<std::pair<int, char>> entries;
    for (int i = 0; i < run->k.count; ++i)
      entries.emplace_back(run->k.entries[i].mode, run->k.entries[i].ch);
    EXPECT_EQ(entries, c.entries);
    EXPECT_EQ(run->k.line_breaks, c.line_breaks);
    EXPECT_EQ(run->settings.reset_per_match, c.reset);
  }
  // An eleventh entry is refused and leaves the first ten in place.
  auto run = parse({"f", "s", "n", "-K:1a,1b,1c,1d,1e,1f,1g,1h,1i,1j", "-K:6k"});
  EXPECT_EQ(run->error_code, -8);
  EXPECT_EQ(run->k.count, 10);
  EXPECT_EQ(run->k.line_breaks, 0);
}

class CommandLineEnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QK_CL_TEST_VAR", "abc", 1);
    setenv("QK_CL_TEST_UPPER", "up", 1);
    unsetenv("qk_cl_test_upper");
    unsetenv("QK_CL_TEST_NOPE");
  }
  void TearDown() override {
    unsetenv("QK_CL_TEST_VAR");
    unsetenv("QK_CL_TEST_UPPER");
  }
};

TEST_F(CommandLineEnvironmentTest, TextsFromTheEnvironment) {
  struct Case {
    Args args;
    int32_t error;
    std::string file;
    std::string search;
    std::string output_name;
  };
  const std::vector<Case> cases = {
      {{"f", "-E", "QK_CL_TEST_VAR", "n"}, 0, "f", "abc", ""},
      {{"f", "-e", "qk_cl_test_upper", "n"}, 0, "f", "up", ""},
      {{"f", "-E", "QK_CL_TEST_NOPE", "n"}, -2, "f", "", ""},
      {{"f", "-GE", "QK_CL_TEST_NOPE", "n"}, 0, "f", "QK_CL_TEST_NOPE", ""},
      {{"f", "-$", "-E", "QK_CL_TEST_VAR", "s"}, 0, "f", "s", "abc"},
      {{"-E", "QK_CL_TEST_VAR", "s"}, 0, "abc", "s", ""},
      // -E alone lets a switch through and stays pending for the next text.
      {{"f", "-E", "-C", "QK_CL_TEST_VAR"}, 0, "f", "abc", ""},
      // -E applies to one text only.
      {{"f", "-E", "QK_CL_TEST_VAR", "QK_CL_TEST_VAR"}, 0, "f", "abc", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.args));
    auto run = parse(c.args);
    EXPECT_EQ(run->error_code, c.error);
    EXPECT_EQ(std::string(run->texts.slots.file_name), c.file);
    EXPECT_EQ(search_text(*run), c.search);
    EXPECT_EQ(std::string(run->texts.slots.output_name), c.output_name);
  }
  auto run = parse({"f", "-E", "QK_CL_TEST_VAR", "QK_CL_TEST_VAR"});
  EXPECT_EQ(new_text(*run), "QK_CL_TEST_VAR");
  EXPECT_EQ(run->settings.e_pending, 0);
  // A pending -G makes the next argument a text even when it reads "-E".
  run = parse({"f", "-G", "-E", "QK_CL_TEST_VAR"});
  EXPECT_EQ(search_text(*run), "-E");
  EXPECT_EQ(new_text(*run), "QK_CL_TEST_VAR");
  EXPECT_EQ(run->settings.e_pending, 0);
}

}  // namespace
}  // namespace qk
