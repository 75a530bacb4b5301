// Special function characters (-K) end to end: fixed replacements, line
// breaks, and the seeded random characters of the first matches of a run.
#include <gtest/gtest.h>

#include "e2e/harness.h"

namespace qk::test {
namespace {

const std::string kOk1 = "\nOK: 1 matches found\n";
const std::string kOk2 = "\nOK: 2 matches found\n";

TEST(SpecialFunctions, ReplaceCharactersOfTheNewText) {
  expect_cases({
      {"A A", {"f", "a", "ID-xxxx", "-K:1x"}, "ID-8835 ID-8835", kOk2, 0},
      {"A A", {"f", "a", "ID-xxxx", "-K:1x,RM"}, "ID-8835 ID-1709", kOk2, 0},
      {"A A", {"f", "a", "ID-xxxx", "-K:RM,1x"}, "ID-8835 ID-1709", kOk2, 0},
      {"A", {"f", "a", "xxxx", "-K:2x"}, "qmzr", kOk1, 0},
      {"A", {"f", "a", "xxxx", "-K:Hx"}, "6e1b", kOk1, 0},
      {"A", {"f", "a", "xxxx", "-K:Ix"}, "6E1B", kOk1, 0},
      {"A", {"f", "a", "x", "-K:4x"}, "0", kOk1, 0},
      {"A", {"f", "a", "q p", "-K:0q,Cp"}, "\" %", kOk1, 0},
      {"A", {"f", "a", "pq", "-K:Gp,Lq"}, "><", kOk1, 0},
      {"A", {"f", "a", "azb", "-K:9z"}, std::string("a\0b", 3), kOk1, 0},
      {"A",
       {"f", "a", "a7b8", "-K:77,88"},
       "a\x07"
       "b\x08",
       kOk1,
       0},
      {"a", {"f", "a", "x|y", "-K:6|"}, "x\r\ny", kOk1, 0},
      // The line break is the kind of the file's first one.
      {"a\nb\r\n", {"f", "a", "x|y", "-K:6|"}, "x\ny\nb\r\n", kOk1, 0},
      {"[abcde]\n", {"f", "abcde", "x|y", "-N", "-K:6|"}, "[x\ny  ]\n", kOk1, 0},
      {"[abcde]", {"f", "abcde", "x|y", "-N", "-K:6|"}, "[x\r\ny  ]", kOk1, 0},
      // Another mode for the same character wins over the line break.
      {"a", {"f", "a", "x|y", "-K:6|,0|"}, "x\"y", kOk1, 0},
      // RM without a random entry changes nothing.
      {"a a", {"f", "a", "q", "-K:0q,RM"}, "\" \"", kOk2, 0},
      // The apostrophe conversion comes after the -K pass.
      {"a", {"f", "a", "'x", "-K:1x", "-'"}, "\"8", kOk1, 0},
      // An empty new text is never looked at.
      {"a b", {"f", "a", "-K:1&"}, " b", kOk1, 0},
      // The added text gets its line breaks too.
      {"abc",
       {"f", "zzz", "x|y", "-K:6|", "-T"},
       "abcx\r\ny",
       "\nNo matches found\n(String appended)\n",
       0},
      // '&' as a -K character only when special character 2 is off.
      {"a", {"f", "a", "x&", "-K:1&", "-2"}, "x8", kOk1, 0},
      {"a",
       {"f", "a", "x&", "-K:1&"},
       "a",
       "\nERROR: Bad or missing command line information\n",
       2},
  });
}

TEST(SpecialFunctions, LineBreaksCountTwoBytes) {
  expect_cases({
      {"a",
       {"f", "a", "x|y", "-K:6|", "-V:3"},
       "x\r\ny",
       "\nOriginal filesize : 1\nBytes gained      : 3\nBytes written     : 4\n"
       "Number times text inserted at & : 0\n" +
           kOk1,
       0},
  });
}

TEST(SpecialFunctions, LargeTextFileIsReadAgainForEveryMatch) {
  // A new text of more than 261 bytes has no saved copy: with -K:RM each
  // acted match reads it from its file again before the next pass.
  std::string draws;
  uint32_t state = 1;
  for (int i = 0; i < 600; ++i) {
    state = state * 1103515245u + 12345u;
    draws += static_cast<char>('0' + ((state >> 16) & 0x7FFF) % 10);
  }
  TempDir dir;
  write_file(dir.file("f"), "A-A");
  write_file(dir.file("n.txt"), std::string(300, 'x'));
  RunOptions options;
  options.cwd = dir.path();
  RunResult result = run_qk({"f", "a", "-L", "n.txt", "-K:1x,RM"}, options);
  EXPECT_EQ(result.out, banner() + kOk2);
  EXPECT_EQ(read_file(dir.file("f")), draws.substr(0, 300) + "-" + draws.substr(300));
  write_file(dir.file("f"), "A-A");
  result = run_qk({"f", "a", "-L", "n.txt", "-K:1x"}, options);
  EXPECT_EQ(read_file(dir.file("f")), draws.substr(0, 300) + "-" + draws.substr(0, 300));
}

}  // namespace
}  // namespace qk::test
