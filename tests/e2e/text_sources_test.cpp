// Where texts come from: -G, -E and -GE (the environment) and -L (whole
// files), end to end with their error messages.
#include <gtest/gtest.h>

#include "e2e/harness.h"

namespace qk::test {
namespace {

const std::string kOk1 = "\nOK: 1 matches found\n";

struct SourceCase {
  std::vector<std::string> args;
  std::string after;
  std::string out;
  int code;
};

// Runs in a directory holding the target "f" (with `content`) and the text
// files s262 (262 bytes), s261 (261 bytes), crlf ("ab\r\n"), anchored ("#ab")
// and empty.
void expect_sources(const std::string& content, const std::vector<SourceCase>& cases) {
  const CaseSetup setup = {{{"s262", std::string(261, 'q') + "z"},
                            {"s261", std::string(260, 'q') + "z"},
                            {"crlf", "ab\r\n"},
                            {"anchored", "#ab"},
                            {"empty", ""}},
                           {{"VAR", "abc"}, {"OUT", "out.txt"}, {"DASH", "-x"}},
                           {}};
  std::vector<FileCase> file_cases;
  for (const SourceCase& c : cases)
    file_cases.push_back({content, c.args, c.after, c.out, c.code});
  expect_cases(file_cases, setup);
}

TEST(TextSources, EnvironmentAndGuardedArguments) {
  expect_sources("-x abc", {
                               {{"f", "-G", "-x", "y"}, "y abc", kOk1, 0},
                               {{"f", "-E", "VAR", "y"}, "-x y", kOk1, 0},
                               {{"f", "-E", "var", "y"}, "-x y", kOk1, 0},
                               {{"f", "-GE", "DASH", "y"}, "y abc", kOk1, 0},
                               {{"f", "-GE", "-x", "y"}, "y abc", kOk1, 0},
                               {{"f", "-E", "NOPE", "y"},
                                "-x abc",
                                "\nERROR: Bad or missing command line information\n",
                                2},
                               {{"f", "-GE", "NOPE", "y"}, "-x abc", "\nNo matches found\n", 0},
                           });
  TempDir dir;
  write_file(dir.file("f"), "abc");
  RunOptions options;
  options.cwd = dir.path();
  options.env = {{"OUT", "out.txt"}};
  RunResult result = run_qk({"f", "-$", "-E", "OUT", "b", "x"}, options);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(read_file(dir.file("out.txt")), "axc");
}

TEST(TextSources, TextsFromFiles) {
  const std::string long_text = std::string(261, 'q') + "z";
  const std::string content = "<" + long_text + ">\r\nab\r\nxab";
  expect_sources(
      content,
      {
          {{"f", "-L", "crlf", "X"}, "<" + long_text + ">\r\nXxab", kOk1, 0},
          {{"f", "-L", "s262", "Y"}, "<Y>\r\nab\r\nxab", kOk1, 0},
          {{"f", "-L", "s261", "Y"}, "<qY>\r\nab\r\nxab", kOk1, 0},
          {{"f", "-L", "anchored", "Y"}, "<" + long_text + ">\r\nY\r\nxab", kOk1, 0},
          {{"f", "xab", "-L", "crlf"}, "<" + long_text + ">\r\nab\r\nab\r\n", kOk1, 0},
          {{"f", "xab", "s262", "-L"}, "<" + long_text + ">\r\nab\r\n" + long_text, kOk1, 0},
      });
}

TEST(TextSources, FileErrors) {
  const std::string too_big =
      "\nERROR: Could not load file for /L switch into memory\n"
      "       (File empty too big - 2147483583 maximum)\n";
  expect_sources(
      "abc",
      {
          {{"f", "-L", "empty", "x"}, "abc", too_big, 7},
          {{"f", "-L", "missing.txt", "x"},
           "abc",
           "\nERROR: Could not load file for /L switch into memory\n"
           "       (File: missing.txt not found)\n",
           7},
          {{"f", "s", "-L"},
           "abc",
           "\nERROR: Missing filename specified for /L switch: <new>\n",
           7},
          {{"f", "-L"}, "abc", "\nERROR: Missing filename specified for /L switch: <search>\n", 7},
          {{"f", "-L", "missing.txt", "-L", "empty"},
           "abc",
           "\nERROR: Could not load file for /L switch into memory\n"
           "       (File: missing.txt not found)\n",
           7},
          {{"f", "-L", "crlf", "-L", "empty"}, "abc", too_big, 7},
      });
}

}  // namespace
}  // namespace qk::test
