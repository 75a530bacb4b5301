// Fault injection across the write phase. A preloaded shim (tests/faults)
// fails one chosen file call of a qk run; for every call a run makes, the
// run is repeated with that call failing, and the target must then hold
// either the complete result (with errorlevel 0) or its original bytes
// (with the errorlevel of the failure). RLIMIT_FSIZE stands in for a disk
// that fills up part way.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace qk::test {
namespace {

RunOptions with_shim(const TempDir& dir, const std::string& fail_call) {
  RunOptions options;
  options.cwd = dir.path();
  options.env = {{"LD_PRELOAD", QK_FAULT_SHIM},
                 // The sanitizer runtime of an ASan build must let the shim
                 // come first.
                 {"ASAN_OPTIONS", "verify_asan_link_order=0"},
                 {"QK_FAIL_LOG", dir.file("calls.log")},
                 {"QK_FAIL_CALL", fail_call}};
  return options;
}

// The errorlevel a run must end with when call `n` (1-based) of `calls`
// fails. The first open is the target's, for update (an in-place run
// cannot go on without it: read-only; a run to an output file reads the
// target all the same, and closes it once it has opened the output); the
// output file's open, or its emptying, fails with "could not create". The restore journal: where it
// cannot be made beside the target (its open, or the write of its head, fails) it goes to the
// user's own folder; a record it cannot keep stops the run before the write the record is for (a
// write fault, or while cutting, after the last write to the target, an extended error); closing it
// at the end changes nothing. A failed write or close of the output is a write fault. An edit
// that changes the length writes only its journal until the journal holds the whole map: a
// journal write that fails then refuses the edit with the original untouched.
int expected_errorlevel(const std::vector<std::string>& calls, size_t n, bool to_output_file,
                        bool changes_length = false) {
  int opens = 0;
  int journal_writes = 0;
  int closes = 0;
  for (size_t i = 0; i < n; ++i) {
    if (calls[i] == "open") ++opens;
    if (calls[i] == "write journal") ++journal_writes;
    if (calls[i] == "close") ++closes;
  }
  const std::string& kind = calls[n - 1];
  if (kind == "open journal" || kind == "close journal") return 0;
  if (kind == "write journal" && journal_writes == 1) return 0;
  if (kind == "write journal" && changes_length && !to_output_file) return 9;
  if (to_output_file) {
    if ((kind == "open" && opens == 1) || (kind == "close" && closes == 1)) return 0;
    if (kind == "open" || kind == "truncate") return 6;
    return 14;
  }
  if (kind == "open") return 9;
  return 14;
}

struct FaultRun {
  const char* what;
  std::string before;
  std::vector<std::string> args;
  std::string after;
};

std::string crlf_lines() {
  return "alpha foo one\r\nbeta\r\nfoo gamma foo\r\ndelta\r\nlast foo";
}

std::string large_file() {
  // Over a mebibyte, so the edits span many blocks and buffer flushes.
  std::string text;
  for (int i = 0; i < 60000; ++i)
    text += i % 997 == 0 ? "line with foo here\r\n" : "an ordinary line of text\r\n";
  return text;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

TEST(FaultInjection, EveryFailedCallLeavesResultOrOriginal) {
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  const std::string text = crlf_lines();
  const std::string big = large_file();
  const std::vector<FaultRun> runs = {
      {"same length", text, {"f", "foo", "bar"}, replaced(text, "foo", "bar")},
      {"growing", text, {"f", "foo", "foobar"}, replaced(text, "foo", "foobar")},
      {"shrinking", text, {"f", "foo", "x"}, replaced(text, "foo", "x")},
      {"full writing", text, {"f", "foo", "bar", "-~"}, replaced(text, "foo", "bar")},
      {"add at start", text, {"f", "nothing", "top\r\n", "-B"}, "top\r\n" + text},
      {"add at end", text, {"f", "nothing", "\r\nend", "-T"}, text + "\r\nend"},
      {"whole lines", text, {"f", "beta", "", "-D"}, replaced(text, "beta\r\n", "")},
      {"unmodified lines", text, {"f", "foo", "x", "-U"}, "beta\r\ndelta\r\n"},
      {"large same length", big, {"f", "foo", "bar"}, replaced(big, "foo", "bar")},
      {"large shrinking", big, {"f", "foo", "f"}, replaced(big, "foo", "f")},
  };
  int points = 0;
  for (const FaultRun& run : runs) {
    SCOPED_TRACE(run.what);
    std::vector<std::string> calls;
    {
      TempDir dir;
      write_file(dir.file("f"), run.before);
      RunResult clean = run_qk(run.args, with_shim(dir, ""));
      ASSERT_EQ(clean.exit_code, 0) << clean.out;
      ASSERT_EQ(read_file(dir.file("f")), run.after);
      calls = lines_of(read_file(dir.file("calls.log")));
      ASSERT_FALSE(calls.empty());
    }
    for (size_t n = 1; n <= calls.size(); ++n) {
      SCOPED_TRACE("failing call " + std::to_string(n) + " (" + calls[n - 1] + ")");
      TempDir dir;
      write_file(dir.file("f"), run.before);
      RunResult result = run_qk(run.args, with_shim(dir, std::to_string(n)));
      const std::string after = read_file(dir.file("f"));
      if (!journals_in(dir.path()).empty()) {
        // An edit that changes the length, failing while the file is
        // written from its map: the journal stays, says so, and the next
        // run finishes the edit.
        EXPECT_EQ(result.exit_code, 14) << result.out;
        EXPECT_NE(result.out.find("(Could not finish the edit, whose journal "), std::string::npos)
            << result.out;
        RunOptions next;
        next.cwd = dir.path();
        const RunResult finish = run_qk({"f", "QKneverQK", "x"}, next);
        EXPECT_EQ(finish.exit_code, 0) << finish.out;
        EXPECT_NE(finish.out.find("\nFinished the edit of "), std::string::npos) << finish.out;
        EXPECT_TRUE(read_file(dir.file("f")) == run.after) << "edit not finished";
        EXPECT_TRUE(journals_in(dir.path()).empty()) << "journal left behind";
        ++points;
        continue;
      }
      const int expected =
          expected_errorlevel(calls, n, false, run.after.size() != run.before.size());
      EXPECT_EQ(result.exit_code, expected) << result.out;
      if (expected == 0) {
        EXPECT_TRUE(after == run.after) << "result incomplete";
      } else {
        EXPECT_TRUE(after == run.before) << "original not back";
      }
      ++points;
    }
  }
  RecordProperty("fault_points", points);
}

TEST(FaultInjection, OutputFileFaultsNeverTouchTheTarget) {
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  const std::string text = crlf_lines();
  const std::vector<std::vector<std::string>> command_lines = {
      {"f", "foo", "bar", "-$", "out"},
      {"f", "foo", "x", "-$:A", "out"},
      {"f", "nothing", "end", "-T", "-$", "out"},
  };
  int points = 0;
  for (const auto& args : command_lines) {
    std::vector<std::string> calls;
    {
      TempDir dir;
      write_file(dir.file("f"), text);
      ASSERT_EQ(run_qk(args, with_shim(dir, "")).exit_code, 0);
      calls = lines_of(read_file(dir.file("calls.log")));
    }
    for (size_t n = 1; n <= calls.size(); ++n) {
      SCOPED_TRACE(args[4] + " failing call " + std::to_string(n) + " (" + calls[n - 1] + ")");
      TempDir dir;
      write_file(dir.file("f"), text);
      RunResult result = run_qk(args, with_shim(dir, std::to_string(n)));
      EXPECT_EQ(result.exit_code, expected_errorlevel(calls, n, true)) << result.out;
      EXPECT_EQ(read_file(dir.file("f")), text);
      ++points;
    }
  }
  RecordProperty("fault_points", points);
}

// The cut of a shrunken file is the last step of writing it from its map:
// when it fails, the journal stays, and the next run finishes the edit.
TEST(FaultInjection, FailedCutIsFinishedByTheNextRun) {
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  const std::string text = crlf_lines();
  TempDir dir;
  write_file(dir.file("f"), text);
  RunResult result = run_qk({"f", "foo", "x"}, with_shim(dir, "truncate:1"));
  EXPECT_EQ(result.exit_code, 14);
  EXPECT_NE(result.out.find("ERROR: Write fault encountered: f\n       (Could not finish the "
                            "edit, whose journal "),
            std::string::npos)
      << result.out;
  RunOptions next;
  next.cwd = dir.path();
  result = run_qk({"f", "QKneverQK", "x"}, next);
  EXPECT_EQ(result.exit_code, 0) << result.out;
  EXPECT_EQ(read_file(dir.file("f")), replaced(text, "foo", "x"));
  EXPECT_TRUE(journals_in(dir.path()).empty());
}

// A file-size limit stands in for a disk that fills up: below what the
// journal needs, an edit that needs one does not start (a lone change in
// one page needs none); above it, the target's writes fail part way, and
// the original is put back.
TEST(FaultInjection, FileSizeLimitMidWrite) {
  if (const char* why = no_file_size_limit()) GTEST_SKIP() << why;
  struct Case {
    const char* what;
    std::vector<std::string> args;
    long limit;
    bool refused;  // before any write, for want of room for the journal
  };
  std::string text;
  for (int i = 0; i < 2000; ++i)
    text += crlf_lines() + "\r\n";
  const long size = static_cast<long>(text.size());
  const std::vector<Case> cases = {
      {"growing to the limit", {"f", "foo", "foobar"}, size, false},
      {"limit inside the journal's head", {"f", "foo", "foobar"}, 8, true},
      {"limit before any edit", {"f", "foo", "bar"}, 0, true},
      {"shrinking under a limit", {"f", "foo", "x"}, 20, true},
      {"adding at the end", {"f", "nothing", "end", "-T"}, size, false},
      {"adding at the end, no room for a journal", {"f", "nothing", "end", "-T"}, 0, false},
      {"adding at the start", {"f", "nothing", "top", "-B"}, size + 1, false},
      {"full writing", {"f", "foo", "bar", "-~"}, size / 2, false},
      {"whole lines", {"f", "beta", "a much longer line", "-D"}, size, false},
  };
  const std::string no_room =
      "\nERROR: File is Read Only - f\n       (No journal can be kept for this edit, no room for "
      "the journal: nothing was written; write the result to another file with -$)\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    write_file(dir.file("f"), text);
    RunOptions options;
    options.cwd = dir.path();
    options.limits = {{"fsize", c.limit}};
    RunResult result = run_qk(c.args, options);
    EXPECT_EQ(result.out,
              banner() + (c.refused ? no_room : "\nERROR: Write fault encountered: f\n"));
    EXPECT_EQ(result.exit_code, c.refused ? 9 : 14);
    EXPECT_TRUE(read_file(dir.file("f")) == text);
    EXPECT_TRUE(journals_in(dir.path()).empty());
  }
}

}  // namespace
}  // namespace qk::test
