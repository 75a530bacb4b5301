// Runs killed with SIGKILL, as the out-of-memory killer, `kill -9` or a
// container's stop kill them, at every instant of each kind of edit of a
// file of a few mebibytes: just before and in the middle of every file
// call the run makes (through the fault shim; "in the middle" of a call
// other than a write is right after it), and after delays spread over
// the run. The next run on the file must find it as it was, or
// completely edited, say when it put it back, and leave no journal.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace qk::test {
namespace {

// About 1.5 MiB of CR LF lines, more than the output stream gathers for
// one write: "cat" on most lines, "zebra" on every 5000th.
std::string several_mebibytes() {
  static const char* const words[] = {"the", "cat", "sat", "on", "a", "mat", "and", "slept"};
  std::string text;
  for (int line = 0; text.size() < (3u << 19); ++line) {
    for (int w = 0; w < 6; ++w) {
      text += words[(line * 7 + w * 3) % 8];
      text += ' ';
    }
    if (line % 5000 == 0) text += "zebra ";
    text += "\r\n";
  }
  return text;
}

struct Edit {
  const char* what;
  std::vector<std::string> args;
};

const std::vector<Edit> kEdits = {
    {"rare same length", {"f", "zebra", "horse"}},
    {"dense same length", {"f", "cat", "dog"}},
    {"dense shrinking", {"f", "cat", "c"}},
    {"dense growing", {"f", "cat", "catt"}},
    {"deleting lines", {"f", "zebra", "", "-D"}},
    {"unmodified lines only", {"f", "zebra", "x", "-U"}},
    {"modified lines only", {"f", "zebra", "ZEBRA", "-M"}},
    {"last match", {"f", "zebra", "a much longer text", "-#:L"}},
    {"held matches with overwrite", {"f", "cat", "tiger", "-#:J", "-O"}},
    {"adding at the start", {"f", "QKnothingQK", "top line\r\n", "-B"}},
    {"output file that is the target", {"f", "cat", "c", "-$", "f"}},
    {"appended to the target", {"f", "zebra", "horse", "-$:A", "f"}},
};

// Small chunks: the image reads the file in many pieces while it is
// rewritten, so kills land between them.
const std::vector<std::pair<std::string, std::string>> kSmallChunks = {
    {"QK_TEST_CHUNK_SIZE", "65536"}};

// The result of an edit that is not killed, the file calls it makes and
// how long it takes.
struct Clean {
  std::string result;
  std::vector<std::string> calls;
  long microseconds = 0;
};

Clean clean_run(const Edit& edit, const std::string& before) {
  TempDir dir;
  write_file(dir.file("f"), before);
  RunResult run;
  const auto start = std::chrono::steady_clock::now();
  Clean clean;
  clean.calls = calls_of(edit.args, dir.path(), kSmallChunks, &run);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(run.exit_code, 0) << run.out;
  clean.result = read_file(dir.file("f"));
  clean.microseconds =
      static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(took).count());
  return clean;
}

// The lines of a run that put the file back, or finished the edit a killed
// run began, up to the journal's place; the Windows build upper-cases the
// target's name.
std::string restored_line() {
  return "\nRestored " + shown_name("f") + " as it was before an unfinished run (journal ";
}

std::string finished_line() {
  return "\nFinished the edit of " + shown_name("f") + " that an unfinished run began (journal ";
}

// What every killed run must leave: the original or the result, and no
// journal. A run that put the file back leaves the original, one that
// finished the edit (made as a map, and killed while the file was written
// from it) the result; either needs a journal left by the killed run.
// Returns whether the next run said it did either.
bool expect_whole(const KillOutcome& outcome, const std::string& before, const Clean& clean) {
  EXPECT_EQ(outcome.recovery.exit_code, 0) << outcome.recovery.out;
  EXPECT_FALSE(outcome.journal_left) << "journal left behind";
  const bool original = outcome.target == before;
  const bool result = outcome.target == clean.result;
  EXPECT_TRUE(original || result) << "target torn";
  const std::string& out = outcome.recovery.out;
  const bool restored = out.find(restored_line()) != std::string::npos;
  const bool finished = out.find(finished_line()) != std::string::npos;
  EXPECT_TRUE(!(restored || finished) || outcome.journal_after_kill) << out;
  EXPECT_TRUE(!restored || original) << "said restored";
  EXPECT_TRUE(!finished || result) << "said finished";
  // Without a word, the file is as the killed run left it, whole: it had
  // changed nothing (or only made one write within a page).
  return restored || finished;
}

TEST(KilledRuns, EveryInstantLeavesOriginalOrResult) {
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  const std::string before = several_mebibytes();
  int kills = 0;
  int put_back = 0;
  for (const Edit& edit : kEdits) {
    SCOPED_TRACE(edit.what);
    const Clean clean = clean_run(edit, before);
    ASSERT_NE(clean.result, before);
    ASSERT_GT(clean.calls.size(), 2u);
    const auto calls = static_cast<long>(clean.calls.size());
    for (long call = 1; call <= calls; ++call) {
      // Inside a call other than a write is right after it: before the
      // next call, but for the last one.
      const bool write = clean.calls[static_cast<size_t>(call - 1)].rfind("write", 0) == 0;
      for (Kill::When when : {Kill::kBeforeCall, Kill::kInsideCall}) {
        if (when == Kill::kInsideCall && !write && call < calls) continue;
        SCOPED_TRACE((when == Kill::kBeforeCall ? "before call " : "inside call ") +
                     std::to_string(call));
        const KillOutcome outcome = kill_and_recover(edit.args, before, {when, call}, kSmallChunks);
        EXPECT_EQ(outcome.killed_exit, 128 + 9);
        put_back += expect_whole(outcome, before, clean);
        ++kills;
      }
    }
    // Some kills at moments no call marks, spread over the run.
    for (long step = 1; step <= 6; ++step) {
      const long delay = clean.microseconds * step / 6;
      SCOPED_TRACE("after " + std::to_string(delay) + " us");
      const KillOutcome outcome =
          kill_and_recover(edit.args, before, {Kill::kAfterDelay, delay}, kSmallChunks);
      put_back += expect_whole(outcome, before, clean);
      ++kills;
    }
  }
  RecordProperty("kills", kills);
  RecordProperty("put_back", put_back);
  // Many kills land in the rewrite, where only the journal saves the file
  // (an edit made as a map first writes nothing while the map is made).
  EXPECT_GT(put_back, kills / 4);
}

// Without the fault shim, so that every build is tried (the Windows one
// under Wine, the 32-bit one under qemu): kills at moments spread over a
// growing rewrite of 16 MiB.
TEST(KilledRuns, TimedKillsOnEveryBuild) {
  std::string before;
  while (before.size() < (16u << 20))
    before += "the cat sat on the mat\r\n";
  const Edit edit = {"dense growing", {"f", "cat", "catt"}};
  TempDir dir;
  write_file(dir.file("f"), before);
  RunOptions options;
  options.cwd = dir.path();
  options.env = kSmallChunks;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(run_qk(edit.args, options).exit_code, 0);
  Clean clean;
  clean.microseconds = static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                             std::chrono::steady_clock::now() - start)
                                             .count());
  clean.result = read_file(dir.file("f"));
  int put_back = 0;
  for (long step = 1; step <= 10; ++step) {
    const long delay = clean.microseconds * step / 12;
    SCOPED_TRACE("after " + std::to_string(delay) + " us");
    put_back +=
        expect_whole(kill_and_recover(edit.args, before, {Kill::kAfterDelay, delay}, kSmallChunks),
                     before, clean);
  }
  RecordProperty("put_back", put_back);
}

}  // namespace
}  // namespace qk::test
