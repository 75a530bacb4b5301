// Edits that change a file's length are written from their map, here a
// page at a time (QK_TEST_MOVE_CHUNK), so that a small file is moved in
// many steps. Each edit of the table is killed before every file call it
// makes; where the kill leaves a journal, the run that picks it up is
// killed too, part way, and the run after that must leave the file as the
// clean edit leaves it, or as it was, with no journal.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace qk::test {
namespace {

const std::vector<std::pair<std::string, std::string>> kPageMoves = {
    {"QK_TEST_MOVE_CHUNK", "4096"}, {"QK_TEST_CHUNK_SIZE", "16384"}};

// About 60 KiB of LF lines of many lengths; "zz" at the very start, across
// page edges and as the last bytes, with no final line break.
std::string lines_of_many_lengths() {
  static const char* const words[] = {"cat", "on", "a", "mat", "and", "slept", "soundly"};
  std::string text = "zz first\n";
  for (int line = 0; text.size() < 60000; ++line) {
    for (int w = 0; w < line % 9; ++w) {
      text += words[(line + w * 3) % 7];
      text += ' ';
    }
    text += "\n";
    // Every few pages, a "zz" that straddles the page edge.
    if (line % 97 == 0) {
      const size_t edge = (text.size() / 4096 + 1) * 4096;
      text.append(edge - 1 - text.size(), '.');
      text += "zz\n";
    }
  }
  return text + "last zz";
}

struct Edit {
  const char* what;
  std::vector<std::string> args;
};

// The run's output, and whether it ended with the file whole.
RunResult run_killed_at(const std::vector<std::string>& args, const TempDir& dir, long call) {
  RunOptions options;
  options.cwd = dir.path();
  options.env = kPageMoves;
  const auto shim = fault_shim_env();
  options.env.insert(options.env.end(), shim.begin(), shim.end());
  options.env.push_back({"QK_SIGNAL_CALL", std::to_string(call)});
  options.env.push_back({"QK_SIGNAL", std::to_string(SIGKILL)});
  return run_qk(args, options);
}

TEST(MapPlayback, KilledWritingAndKilledFinishingEndWhole) {
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  const std::string before = lines_of_many_lengths();
  const std::vector<Edit> edits = {
      {"shrinking", {"f", "cat", "c"}},
      {"growing", {"f", "cat", "catty"}},
      {"growing at both ends and page edges", {"f", "zz", "ZZZZZ"}},
      {"deleting lines", {"f", "zz", "", "-D"}},
      {"lines replaced, some longer, some shorter", {"f", "mat", "a line of middling size", "-D"}},
      {"added at the start", {"f", "QKnoneQK", "top\n", "-B"}},
      {"unmodified lines only", {"f", "cat", "x", "-U"}},
  };
  const std::vector<std::string> pick_up = {"f", "QKneverQK", "x"};
  int finished = 0;
  for (const Edit& edit : edits) {
    SCOPED_TRACE(edit.what);
    std::string result;
    std::vector<std::string> calls;
    {
      TempDir dir;
      write_file(dir.file("f"), before);
      RunResult clean;
      calls = calls_of(edit.args, dir.path(), kPageMoves, &clean);
      ASSERT_EQ(clean.exit_code, 0) << clean.out;
      result = read_file(dir.file("f"));
      ASSERT_NE(result, before);
    }
    for (long call = 1; call <= static_cast<long>(calls.size()); ++call) {
      SCOPED_TRACE("killed before call " + std::to_string(call) + " (" + calls[call - 1] + ")");
      // The run that picks the journal up, killed before its call n.
      for (long again : {0L, 2L, 5L, 11L}) {
        if (again > 0 && call % 3 != 0) continue;
        SCOPED_TRACE("pick-up killed before call " + std::to_string(again));
        TempDir dir;
        write_file(dir.file("f"), before);
        EXPECT_EQ(run_killed_at(edit.args, dir, call).exit_code, 128 + SIGKILL);
        const bool left = !journals_in(dir.path()).empty();
        if (again > 0 && !left) break;
        if (again > 0) run_killed_at(pick_up, dir, again);
        RunOptions next;
        next.cwd = dir.path();
        next.env = kPageMoves;
        const RunResult last = run_qk(pick_up, next);
        EXPECT_EQ(last.exit_code, 0) << last.out;
        const std::string after = read_file(dir.file("f"));
        EXPECT_TRUE(after == before || after == result) << "torn";
        EXPECT_TRUE(journals_in(dir.path()).empty()) << "journal left behind";
        finished += after == result && left;
      }
    }
  }
  // Most calls of an edit that changes the length are the writing from
  // its map, where only finishing it makes the file whole.
  EXPECT_GT(finished, 100);
  RecordProperty("finished", finished);
}

}  // namespace
}  // namespace qk::test
