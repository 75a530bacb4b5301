// The driver's stages on a real file, with failures provoked between the
// stages: a -K:RM reload whose file vanished, and a shortening that cannot
// find its file.
#include "driver/driver.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "cmdline/command_line.h"
#include "driver/errors.h"
#include "fileio/loader.h"
#include "test_util.h"

namespace qk {
namespace {

TEST(Driver, FailedReloadStillWritesTheRest) {
  test::TempDir dir;
  test::write_file(dir.file("f"), "a a a");
  test::write_file(dir.file("n.txt"), std::string(300, 'x'));
  qk::Run run;
  test::ConsoleCapture console;
  run.console = console.stream();
  // Absolute paths begin with '/', so each one follows -G.
  const std::string target = dir.file("f");
  const std::string text_file = dir.file("n.txt");
  std::vector<const char*> argv = {"qk", "-G", target.c_str(),    "a",
                                   "-L", "-G", text_file.c_str(), "-K:1x,RM"};
  read_command_line(run, static_cast<int>(argv.size()), argv.data());
  validate_command_line(run);
  ASSERT_EQ(run.error_code, 0);
  load_target(run);
  ASSERT_EQ(run.error_code, 0);
  unlink(text_file.c_str());

  edit_target(run);
  EXPECT_EQ(run.error_code, -7);
  EXPECT_EQ(run.settings.l_new, '1');
  // The first match got the text prepared at set-up; the scan then stopped
  // and the rest of the file went out unchanged.
  std::string digits;
  uint32_t state = 1;
  for (int i = 0; i < 300; ++i) {
    state = state * 1103515245u + 12345u;
    digits += static_cast<char>('0' + ((state >> 16) & 0x7FFF) % 10);
  }
  EXPECT_EQ(test::read_file(target), digits + " a a");
  print_error(run);
  EXPECT_EQ(console.text(),
            "\nERROR: Could not load file for /L switch into memory\n"
            "       (File: " +
                text_file + " not found)\n");
  EXPECT_EQ(exit_code_for(run.error_code), 7);
}

// The cut of a shrunken file goes through the handle the run opened, not
// through the file's name, which may meanwhile name another file or none.
TEST(Driver, TheCutGoesThroughTheRunsOwnHandle) {
  test::TempDir dir;
  test::write_file(dir.file("f"), "abcabc");
  test::write_file(dir.file("other"), "abcabc");
  qk::Run run;
  test::ConsoleCapture console;
  run.console = console.stream();
  const std::string target = dir.file("f");
  const char* argv[] = {"qk", "-G", target.c_str(), "b", ""};
  read_command_line(run, 5, argv);
  validate_command_line(run);
  load_target(run);
  ASSERT_EQ(run.error_code, 0);
  ASSERT_EQ(rename(target.c_str(), dir.file("moved").c_str()), 0);
  ASSERT_EQ(rename(dir.file("other").c_str(), target.c_str()), 0);
  edit_target(run);
  EXPECT_EQ(run.error_code, 2);
  EXPECT_EQ(test::read_file(dir.file("moved")), "acac");
  EXPECT_EQ(test::read_file(target), "abcabc");
}

// An edit whose output would pass the largest file QK accepts stops there
// and puts the target back. The stream starts near the limit, standing in
// for gigabytes of output already written.
TEST(Driver, OutputPastTheSizeLimitIsUndone) {
  test::TempDir dir;
  const std::string original(4096, 'a');
  test::write_file(dir.file("f"), original);
  qk::Run run;
  test::ConsoleCapture console;
  run.console = console.stream();
  const std::string target = dir.file("f");
  const char* argv[] = {"qk", "-G", target.c_str(), "a", "bb"};
  read_command_line(run, 5, argv);
  validate_command_line(run);
  load_target(run);
  ASSERT_EQ(run.error_code, 0);
  ASSERT_TRUE(run.writer.out.seek_relative(kMaxFileSize - 6000));

  edit_target(run);
  EXPECT_EQ(run.error_code, -4);
  EXPECT_LT(run.counts.acted, 4096);  // it stopped, rather than finishing the scan
  EXPECT_EQ(test::read_file(target), original);
  print_error(run);
  EXPECT_EQ(console.text(), "\nERROR: File too big or 0 bytes (2147483583 byte maximum)\n");
  EXPECT_EQ(exit_code_for(run.error_code), 4);
}

TEST(Driver, ExitCodes) {
  const std::vector<std::pair<int64_t, int>> cases = {
      {0, 0},  {3, 3},    {255, 255}, {256, 255}, {100000, 255}, {-1, 1},  {-7, 7},
      {-8, 8}, {-12, 12}, {-14, 14},  {-15, 8},   {-20, 8},      {-29, 8}, {-30, 9},
  };
  for (auto [code, level] : cases)
    EXPECT_EQ(exit_code_for(code), level) << code;
}

}  // namespace
}  // namespace qk
