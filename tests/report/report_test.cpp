// The report on its own: the details block's labels and signs, a disabled
// insert character printed as a zero byte, and the outcome lines for
// skipped, added and created.
#include "report/report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fileio/image.h"
#include "test_util.h"

namespace qk {
namespace {

TEST(Report, DetailsBlock) {
  std::string image(100, '.');
  qk::Run run;
  test::ConsoleCapture console;
  run.console = console.stream();
  run.settings.verbosity = '3';
  use_memory_image(run.image, image.data(), static_cast<int64_t>(image.size()));
  run.writer.net_change = -3;
  run.writer.bytes_written = 97;
  run.settings.special[2] = 0;  // disabled by -2
  run.counts.ampersand = 0;
  print_details(run);
  const std::string details = console.text();
  EXPECT_EQ(details, std::string("\nOriginal filesize : 100\nBytes lost        : -3\n"
                                 "Bytes written     : 97\nNumber times text inserted at ") +
                         std::string(1, '\0') + " : 0\n");
  run.settings.verbosity = '2';
  print_details(run);  // nothing more below maximum verbosity
  EXPECT_EQ(console.text(), details);
}

TEST(Report, OutcomeLines) {
  struct Case {
    bool selection;
    int64_t found, acted;
    char add_mode, create;
    bool added;
    std::string out;
  };
  const std::vector<Case> cases = {
      {false, 0, 3, 0, 0, false, "\nOK: 3 matches found\n"},
      {false, 0, 0, 0, 0, false, "\nNo matches found\n"},
      {true, 5, 1, 0, 0, false, "\n(Skipped 4 matches)\nOK: 1 matches found\n"},
      {true, 7, 0, 0, 0, false, "\n(Skipped 7 matches)\nNo matches found\n"},
      {true, 2, 2, 0, 0, false, "\nOK: 2 matches found\n"},
      {false, 0, 0, 'T', 0, true, "\nNo matches found\n(String appended)\n"},
      {false, 0, 0, 'B', 0, true, "\nNo matches found\n(String inserted)\n"},
      {false, 0, 0, 'T', 'Y', true, "\nNew file created (String appended)\n"},
      {false, 0, 0, 'T', 0, false, "\nNo matches found\n"},
  };
  for (const Case& c : cases) {
    qk::Run run;
    test::ConsoleCapture console;
    run.console = console.stream();
    run.settings.selection = c.selection ? '#' : 0;
    run.counts.found = c.found;
    run.counts.acted = c.acted;
    run.settings.add_mode = c.add_mode;
    run.settings.create = c.create;
    run.match.length = c.added ? kAddedMarker : 3;
    print_outcome(run);
    EXPECT_EQ(console.text(), c.out);
  }
}

}  // namespace
}  // namespace qk
