// Recovery with the journal a killed run left, and the journals it must
// refuse: one made for another file, for the file before it changed, one
// of another user's, damaged or cut. A refused journal touches nothing:
// the run ends with errorlevel 9 and says why, the target and the journal
// stay as they were. What no run can have made (a link, a second name,
// one open to others) is passed over, never applied. Also: a second run
// while one is editing the file, and a recovery that is itself killed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace qk::test {
namespace {

std::string text() {
  std::string t;
  for (int i = 0; i < 40000; ++i)
    t += i % 3 ? "the cat sat on the mat\r\n" : "a dog and a cat\r\n";
  return t;
}

const std::vector<std::string> kEdit = {"f", "cat", "dog"};
const std::vector<std::string> kNoMatch = {"f", "QKneverQK", "x"};

// The number (from 1) of the last file call of `kind` that `args` makes on
// a file holding `before`.
size_t last_call(const std::vector<std::string>& args, const std::string& before,
                 const std::string& kind) {
  TempDir dir;
  write_file(dir.file("f"), before);
  const std::vector<std::string> calls = calls_of(args, dir.path());
  size_t n = calls.size();
  while (n > 0 && calls[n - 1] != kind)
    --n;
  return n;
}

// Kills `args` on "f" in `dir` just before its `call`-th file call (or
// sends it another signal there).
RunResult signal_at(const TempDir& dir, const std::vector<std::string>& args, size_t call,
                    int sig = SIGKILL, std::function<void(int)> while_running = nullptr) {
  RunOptions options;
  options.cwd = dir.path();
  options.env = fault_shim_env();
  options.env.push_back({"QK_SIGNAL_CALL", std::to_string(call)});
  options.env.push_back({"QK_SIGNAL", std::to_string(sig)});
  options.while_running = std::move(while_running);
  return run_qk(args, options);
}

RunResult run_in(const TempDir& dir, const std::vector<std::string>& args,
                 bool drop_privileges = false) {
  RunOptions options;
  options.cwd = dir.path();
  options.drop_privileges = drop_privileges;
  return run_qk(args, options);
}

std::string refusal(const std::string& target, const std::string& why) {
  return banner() + "\nERROR: File is Read Only - " + target + "\n       (" + why + ")\n";
}

// Whether the file system of `dir` keeps marks on files (QK then marks a
// file with its journal's place while it edits it).
bool marks_kept(const TempDir& dir) {
  const std::string probe = dir.file("mark-probe");
  write_file(probe, "");
  const bool kept = setxattr(probe.c_str(), "user.qk.probe", "1", 1, 0) == 0;
  unlink(probe.c_str());
  return kept;
}

std::string damaged(const std::string& journal) {
  return "Journal " + journal +
         " is damaged or not a QK journal: not applied; check the file, and remove the journal "
         "to edit the file as it is";
}

std::string changed(const std::string& journal) {
  return "Journal " + journal +
         " does not fit the file as it is now: not applied; the file changed after its run died: "
         "remove the journal to keep the file as it is";
}

std::string lost(const std::string& journal, const std::string& file) {
  return "A QK run that was editing this file died, and its journal " + journal +
         " is gone: check the file, then remove its mark with: setfattr -x user.qk.journal " + file;
}

// A journal left by the edit of f killed after all its writes, with f as
// that edit left it.
struct Leftover {
  TempDir dir;
  std::string original = text();
  std::string edited;
  std::string place;    // the journal's
  std::string journal;  // its bytes
  Leftover() {
    write_file(dir.file("f"), original);
    place = journal_of(dir.file("f"));
    // Killed as it closes the target, with all its writes made: the
    // journal goes only after that.
    EXPECT_EQ(signal_at(dir, kEdit, last_call(kEdit, original, "close")).exit_code, 128 + SIGKILL);
    edited = read_file(dir.file("f"));
    journal = read_file(place);
    EXPECT_NE(edited, original);
    EXPECT_GT(journal.size(), 64u);
  }
};

TEST(Recovery, RefusedJournalsTouchNothing) {
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  struct Case {
    const char* what;
    void (*spoil)(Leftover&);             // what happens to f and its journal
    std::string (*why)(const Leftover&);  // the reason printed
  };
  const Case cases[] = {
      {"random bytes", [](Leftover& l) { write_file(l.place, std::string(500, 'Q')); },
       [](const Leftover& l) { return damaged(l.place); }},
      {"a byte of the head changed",
       [](Leftover& l) {
         l.journal[40] ^= 1;
         write_file(l.place, l.journal);
       },
       [](const Leftover& l) { return damaged(l.place); }},
      {"a byte of the first record changed",
       [](Leftover& l) {
         l.journal[64 + 60] ^= 1;
         write_file(l.place, l.journal);
       },
       [](const Leftover& l) { return damaged(l.place); }},
      {"bytes the run wrote changed since",
       [](Leftover& l) {
         std::string now = l.edited;
         now.replace(l.original.find("cat"), 3, "pig");
         const int fd = open(l.dir.file("f").c_str(), O_WRONLY);
         EXPECT_EQ(pwrite(fd, now.data(), now.size(), 0), static_cast<ssize_t>(now.size()));
         close(fd);
       },
       [](const Leftover& l) { return changed(l.place); }},
      {"bytes between the changed ones changed since",
       [](Leftover& l) {
         std::string now = l.edited;
         now.replace(now.find("sat"), 3, "SAT");
         const int fd = open(l.dir.file("f").c_str(), O_WRONLY);
         EXPECT_EQ(pwrite(fd, now.data(), now.size(), 0), static_cast<ssize_t>(now.size()));
         close(fd);
       },
       [](const Leftover& l) { return changed(l.place); }},
      {"the file grew since",
       [](Leftover& l) {
         const int fd = open(l.dir.file("f").c_str(), O_WRONLY | O_APPEND);
         EXPECT_EQ(write(fd, "more\r\n", 6), 6);
         close(fd);
       },
       [](const Leftover& l) { return changed(l.place); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Leftover leftover;
    c.spoil(leftover);
    const std::string target = read_file(leftover.dir.file("f"));
    const std::string journal = read_file(leftover.place);
    const RunResult result = run_in(leftover.dir, kNoMatch);
    EXPECT_EQ(result.out, refusal("f", c.why(leftover)));
    EXPECT_EQ(result.exit_code, 9);
    EXPECT_TRUE(read_file(leftover.dir.file("f")) == target);
    EXPECT_TRUE(read_file(leftover.place) == journal);
  }
}

// What no run can have made at a journal's place is passed over and left
// as it is. The file's mark (where the file system keeps one) still says
// that a run died editing it, and the run refuses to go on; without a
// mark there is no sign of that run left, and the file is edited as it is.
TEST(Recovery, WhatNoRunMadeIsNeverApplied) {
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  struct Case {
    const char* what;
    void (*spoil)(Leftover&);
  };
  const Case cases[] = {
      {"a link to the journal",
       [](Leftover& l) {
         rename(l.place.c_str(), l.dir.file("saved").c_str());
         symlink("saved", l.place.c_str());
       }},
      {"a second name for the journal",
       [](Leftover& l) { link(l.place.c_str(), l.dir.file("saved").c_str()); }},
      {"others may write it", [](Leftover& l) { chmod(l.place.c_str(), 0622); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Leftover leftover;
    c.spoil(leftover);
    const bool marked = marks_kept(leftover.dir);
    const RunResult result = run_in(leftover.dir, kNoMatch);
    if (marked) {
      EXPECT_EQ(result.out, refusal("f", lost(leftover.place, "f")));
      EXPECT_EQ(result.exit_code, 9);
    } else {
      EXPECT_EQ(result.exit_code, 0) << result.out;
    }
    EXPECT_TRUE(read_file(leftover.dir.file("f")) == leftover.edited);
    EXPECT_TRUE(file_exists(leftover.place));
  }
}

TEST(Recovery, AnotherUsersJournalIsReportedAsTheirs) {
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  if (geteuid() != 0) GTEST_SKIP() << "making a file another user's takes root";
  Leftover leftover;
  ASSERT_EQ(chown(leftover.place.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chown(leftover.dir.file("f").c_str(), 65534, 65534), 0);
  const RunResult result = run_in(leftover.dir, kNoMatch);
  EXPECT_EQ(result.out, refusal("f", "Journal " + leftover.place +
                                         " of an unfinished run was made by nobody: run QK as "
                                         "nobody to put the file back"));
  EXPECT_EQ(result.exit_code, 9);
  EXPECT_TRUE(read_file(leftover.dir.file("f")) == leftover.edited);
  // The journal's own user may apply it.
  const RunResult own = run_in(leftover.dir, kNoMatch, true);
  EXPECT_EQ(own.exit_code, 0) << own.out;
  EXPECT_TRUE(read_file(leftover.dir.file("f")) == leftover.original);
}

TEST(Recovery, CutJournals) {
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  // A record cut short at the end is what a death while it was written
  // leaves: its write never happened, and the records before it put back
  // what theirs wrote. A journal cut inside its head cannot come from a
  // death (the head is written whole or not at all) and is refused.
  TempDir dir;
  const std::string original = text();
  write_file(dir.file("f"), original);
  // Killed in the middle of its one target write, which the journal's
  // last record is the last piece of: that record's range still holds
  // the originals, as when a death cut the record short.
  const std::string place = journal_of(dir.file("f"));
  const size_t last_write = last_call(kEdit, original, "write");
  ASSERT_GT(last_write, 0u);
  RunOptions tear;
  tear.cwd = dir.path();
  tear.env = fault_shim_env();
  tear.env.push_back({"QK_TEAR_CALL", std::to_string(last_write)});
  ASSERT_EQ(run_qk(kEdit, tear).exit_code, 128 + SIGKILL);
  const std::string journal = read_file(place);
  const std::string torn = read_file(dir.file("f"));
  ASSERT_FALSE(torn == original);

  write_file(place, journal.substr(0, 40));
  const RunResult refused = run_in(dir, kNoMatch);
  EXPECT_EQ(refused.out, refusal("f", damaged(place)));
  EXPECT_TRUE(read_file(dir.file("f")) == torn);

  write_file(place, journal.substr(0, journal.size() - 100));
  const RunResult result = run_in(dir, kNoMatch);
  EXPECT_EQ(result.exit_code, 0) << result.out;
  EXPECT_NE(result.out.find("Restored"), std::string::npos) << result.out;
  EXPECT_TRUE(journals_in(dir.path()).empty());
  EXPECT_TRUE(read_file(dir.file("f")) == original);
}

TEST(Recovery, ShrunkFileWithoutItsWholeMapIsRefused) {
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  // A shrinking edit killed after it was written from its map: a journal
  // cut before the record that says the map is whole cannot explain the
  // file's length (a map that is not whole wrote nothing).
  TempDir dir;
  const std::string original = text();
  write_file(dir.file("f"), original);
  const std::vector<std::string> shrink = {"f", "cat", "c"};
  signal_at(dir, shrink, last_call(shrink, original, "close"));
  const std::string shrunk = read_file(dir.file("f"));
  ASSERT_LT(shrunk.size(), original.size());
  const std::string place = journal_of(dir.file("f"));
  const std::string journal = read_file(place);
  // Records from the 64-byte head on: kind at 4, body length at 24 of a
  // 56-byte record head, an 8-byte length behind the body.
  size_t at = 64;
  while (at + 56 <= journal.size()) {
    uint32_t kind;
    int64_t body;
    std::memcpy(&kind, journal.data() + at + 4, sizeof kind);
    std::memcpy(&body, journal.data() + at + 24, sizeof body);
    if (kind == 6) break;
    at += 56 + static_cast<size_t>(body) + 8;
  }
  ASSERT_LT(at, journal.size());
  write_file(place, journal.substr(0, at));
  const RunResult result = run_in(dir, kNoMatch);
  EXPECT_EQ(result.out, refusal("f", changed(place)));
  EXPECT_TRUE(read_file(dir.file("f")) == shrunk);
}

TEST(Recovery, SecondRunWhileOneEditsTheFile) {
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  const std::string original = text();
  std::string edited = original;
  for (size_t at = edited.find("cat"); at != std::string::npos; at = edited.find("cat", at + 3))
    edited.replace(at, 3, "dog");
  std::vector<std::string> calls;
  {
    TempDir clean;
    write_file(clean.file("f"), original);
    calls = calls_of(kEdit, clean.path());
  }
  // The call after the journal's head (the journal then has its name and
  // its lock, and the file has not been read yet), and one in the middle
  // of the writes.
  size_t head = 0;
  while (head < calls.size() && calls[head] != "write journal")
    ++head;
  ASSERT_LT(head + 1, calls.size());
  // An in-place edit and a run that finds nothing are refused meanwhile.
  for (size_t call : {head + 2, calls.size() / 2}) {
    SCOPED_TRACE("first run stopped before call " + std::to_string(call));
    TempDir dir;
    write_file(dir.file("f"), original);
    std::vector<RunResult> second;
    const RunResult first = signal_at(dir, kEdit, call, SIGSTOP, [&](int pid) {
      int status;
      waitpid(pid, &status, WUNTRACED);
      for (const auto& args : {kEdit, kNoMatch})
        second.push_back(run_in(dir, args));
      kill(pid, SIGCONT);
    });
    for (const RunResult& refused : second) {
      EXPECT_EQ(refused.out, refusal("f",
                                     "Another QK run is editing this file: try again when "
                                     "it has finished"));
      EXPECT_EQ(refused.exit_code, 9);
    }
    EXPECT_EQ(first.exit_code, 0) << first.out;
    EXPECT_TRUE(read_file(dir.file("f")) == edited);
    EXPECT_TRUE(journals_in(dir.path()).empty());
  }
}

// Where no journal file can be made, an edit that needs more than one
// write does not start; a lone change within one page needs none. A name
// too long for its own journal's name no longer matters: the journal is
// named after the file's identity.
TEST(Recovery, WithoutAJournalOnlyALoneChangeIsMade) {
  if (on_windows_build()) GTEST_SKIP() << "Windows paths end at 260 characters";
  const std::string original = text();
  std::string shrunk = original;
  for (size_t at = shrunk.find("cat"); at != std::string::npos; at = shrunk.find("cat", at + 1))
    shrunk.replace(at, 3, "c");
  {
    SCOPED_TRACE("a long name");
    TempDir dir;
    const std::string name(250, 'n');
    write_file(dir.file(name), original);
    const RunResult result = run_in(dir, {name, "cat", "c"});
    EXPECT_EQ(result.exit_code, 0) << result.out;
    EXPECT_TRUE(read_file(dir.file(name)) == shrunk);
    EXPECT_TRUE(journals_in(dir.path()).empty());
  }
  if (geteuid() != 0) return;  // a folder only root may write takes root
  // Nobody's runs, in a folder only root may write, and no folder of
  // their own for journals.
  struct Case {
    std::vector<std::string> args;
    std::string (*after)(const std::string&);
    std::string out;
    int code;
  };
  const std::string refused =
      refusal("f",
              "No journal can be kept for this edit, its folder may not be written: nothing was "
              "written; write the result to another file with -$");
  const Case cases[] = {
      {{"f", "cat", "c"}, [](const std::string& t) { return t; }, refused, 9},
      {{"f", "the cat sat", "THE CAT SAT", "-#:1"},
       [](const std::string& t) {
         std::string s = t;
         s.replace(s.find("the cat sat"), 11, "THE CAT SAT");
         return s;
       },
       banner() + "\n(Skipped 26665 matches)\nOK: 1 matches found\n",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    TempDir dir;
    write_file(dir.file("f"), original);
    chmod(dir.file("f").c_str(), 0666);
    chmod(dir.path().c_str(), 0755);
    RunOptions options;
    options.cwd = dir.path();
    options.drop_privileges = true;
    options.env = {{"XDG_STATE_HOME", "/nonexistent"}};
    const RunResult result = run_qk(c.args, options);
    chmod(dir.path().c_str(), 0777);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.exit_code, c.code);
    EXPECT_TRUE(read_file(dir.file("f")) == c.after(original));
    EXPECT_TRUE(journals_in(dir.path()).empty());
  }
}

TEST(Recovery, KilledRecoveryIsDoneAgain) {
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  const std::string original = text();
  // The file calls of one recovery.
  size_t calls;
  {
    Leftover leftover;
    RunResult recovery;
    calls = calls_of(kNoMatch, leftover.dir.path(), {}, &recovery).size();
    ASSERT_EQ(recovery.exit_code, 0);
    ASSERT_GT(calls, 3u);
  }
  for (size_t call = 1; call <= calls; ++call) {
    for (const char* how : {"QK_SIGNAL_CALL", "QK_TEAR_CALL"}) {
      SCOPED_TRACE(std::string(how) + " " + std::to_string(call));
      Leftover leftover;
      RunOptions options;
      options.cwd = leftover.dir.path();
      options.env = fault_shim_env();
      options.env.push_back({how, std::to_string(call)});
      options.env.push_back({"QK_SIGNAL", std::to_string(SIGKILL)});
      EXPECT_EQ(run_qk(kNoMatch, options).exit_code, 128 + SIGKILL);
      const RunResult again = run_in(leftover.dir, kNoMatch);
      EXPECT_EQ(again.exit_code, 0) << again.out;
      EXPECT_TRUE(read_file(leftover.dir.file("f")) == original);
      EXPECT_TRUE(journals_in(leftover.dir.path()).empty());
    }
  }
}

}  // namespace
}  // namespace qk::test
