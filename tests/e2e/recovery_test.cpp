// Recovery with the journal a killed run left, and the journals it must
// refuse: one made for another file, for the file before it changed, owned
// by another user or open to others, forged, damaged or cut. A refused
// journal touches nothing: the run ends with errorlevel 9 and says why,
// the target and the journal stay as they were. Also: a second run while
// one is editing the file, and a recovery that is itself killed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

size_t count_calls(const std::vector<std::string>& args, const std::string& before) {
  TempDir dir;
  write_file(dir.file("f"), before);
  return calls_of(args, dir.path()).size();
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

// A journal left by the edit of f killed after all its writes, with f as
// that edit left it.
struct Leftover {
  TempDir dir;
  std::string original = text();
  std::string edited;
  std::string journal;
  Leftover() {
    write_file(dir.file("f"), original);
    const size_t calls = count_calls(kEdit, original);
    EXPECT_EQ(signal_at(dir, kEdit, calls).exit_code, 128 + SIGKILL);
    edited = read_file(dir.file("f"));
    journal = read_file(dir.file("f.qk-journal"));
    EXPECT_NE(edited, original);
    EXPECT_GT(journal.size(), 64u);
  }
};

TEST(Recovery, RefusedJournalsTouchNothing) {
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  struct Case {
    const char* what;
    void (*spoil)(Leftover&);  // what happens to f and its journal
    const char* why;           // the reason printed
  };
  const char* damaged = "Journal f.qk-journal is damaged or not a QK journal: not applied";
  const char* changed = "Journal f.qk-journal does not fit the file as it is now: not applied";
  const Case cases[] = {
      {"random bytes",
       [](Leftover& l) { write_file(l.dir.file("f.qk-journal"), std::string(500, 'Q')); }, damaged},
      {"a byte of the head changed",
       [](Leftover& l) {
         l.journal[40] ^= 1;
         write_file(l.dir.file("f.qk-journal"), l.journal);
       },
       damaged},
      {"a byte of the first record changed",
       [](Leftover& l) {
         l.journal[64 + 60] ^= 1;
         write_file(l.dir.file("f.qk-journal"), l.journal);
       },
       damaged},
      {"a link to the journal",
       [](Leftover& l) {
         rename(l.dir.file("f.qk-journal").c_str(), l.dir.file("saved").c_str());
         symlink("saved", l.dir.file("f.qk-journal").c_str());
       },
       damaged},
      {"a second name for the journal",
       [](Leftover& l) { link(l.dir.file("f.qk-journal").c_str(), l.dir.file("saved").c_str()); },
       damaged},
      {"others may write it", [](Leftover& l) { chmod(l.dir.file("f.qk-journal").c_str(), 0622); },
       "Journal f.qk-journal is not this user's own: not applied"},
      {"the journal moved to another file's name",
       [](Leftover& l) {
         write_file(l.dir.file("g"), l.edited);
         rename(l.dir.file("f.qk-journal").c_str(), l.dir.file("g.qk-journal").c_str());
       },
       "Journal g.qk-journal was made for another file: not applied"},
      {"bytes the run wrote changed since",
       [](Leftover& l) {
         std::string now = l.edited;
         now.replace(l.original.find("cat"), 3, "pig");
         const int fd = open(l.dir.file("f").c_str(), O_WRONLY);
         EXPECT_EQ(pwrite(fd, now.data(), now.size(), 0), static_cast<ssize_t>(now.size()));
         close(fd);
       },
       changed},
      {"the file grew since",
       [](Leftover& l) {
         const int fd = open(l.dir.file("f").c_str(), O_WRONLY | O_APPEND);
         EXPECT_EQ(write(fd, "more\r\n", 6), 6);
         close(fd);
       },
       changed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Leftover leftover;
    c.spoil(leftover);
    // The run is on the file whose name the journal has now.
    const std::string name = file_exists(leftover.dir.file("g")) ? "g" : "f";
    const std::string target = read_file(leftover.dir.file(name));
    const std::string journal = read_file(leftover.dir.file(name + ".qk-journal"));
    const RunResult result = run_in(leftover.dir, {name, "QKneverQK", "x"});
    EXPECT_EQ(result.out, refusal(name, c.why));
    EXPECT_EQ(result.exit_code, 9);
    EXPECT_TRUE(read_file(leftover.dir.file(name)) == target);
    EXPECT_TRUE(read_file(leftover.dir.file(name + ".qk-journal")) == journal);
  }
}

TEST(Recovery, AnotherUsersJournalIsRefused) {
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  if (geteuid() != 0) GTEST_SKIP() << "making a file another user's takes root";
  Leftover leftover;
  ASSERT_EQ(chown(leftover.dir.file("f.qk-journal").c_str(), 65534, 65534), 0);
  const RunResult result = run_in(leftover.dir, kNoMatch);
  EXPECT_EQ(result.out, refusal("f", "Journal f.qk-journal is not this user's own: not applied"));
  EXPECT_EQ(result.exit_code, 9);
  EXPECT_TRUE(read_file(leftover.dir.file("f")) == leftover.edited);
  // The journal's own user may apply it.
  ASSERT_EQ(chown(leftover.dir.file("f").c_str(), 65534, 65534), 0);
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
  const size_t calls = count_calls(kEdit, original);
  RunOptions tear;
  tear.cwd = dir.path();
  tear.env = fault_shim_env();
  tear.env.push_back({"QK_TEAR_CALL", std::to_string(calls - 2)});
  ASSERT_EQ(run_qk(kEdit, tear).exit_code, 128 + SIGKILL);
  const std::string journal = read_file(dir.file("f.qk-journal"));
  const std::string torn = read_file(dir.file("f"));
  ASSERT_FALSE(torn == original);

  write_file(dir.file("f.qk-journal"), journal.substr(0, 40));
  const RunResult refused = run_in(dir, kNoMatch);
  EXPECT_EQ(refused.out,
            refusal("f", "Journal f.qk-journal is damaged or not a QK journal: not applied"));
  EXPECT_TRUE(read_file(dir.file("f")) == torn);

  write_file(dir.file("f.qk-journal"), journal.substr(0, journal.size() - 100));
  const RunResult result = run_in(dir, kNoMatch);
  EXPECT_EQ(result.exit_code, 0) << result.out;
  EXPECT_NE(result.out.find("Restored"), std::string::npos) << result.out;
  EXPECT_FALSE(file_exists(dir.file("f.qk-journal")));
  EXPECT_TRUE(read_file(dir.file("f")) == original);
}

TEST(Recovery, ShrunkFileWithoutItsCutRecordIsRefused) {
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  // A shrinking edit killed after its cut: a journal cut before the
  // record of the cut cannot explain the file's length.
  TempDir dir;
  const std::string original = text();
  write_file(dir.file("f"), original);
  const std::vector<std::string> shrink = {"f", "cat", "c"};
  const size_t calls = count_calls(shrink, original);
  signal_at(dir, shrink, calls);
  const std::string shrunk = read_file(dir.file("f"));
  ASSERT_LT(shrunk.size(), original.size());
  const std::string journal = read_file(dir.file("f.qk-journal"));
  size_t last = journal.size() - 8;
  uint64_t length;
  std::memcpy(&length, journal.data() + last, sizeof length);
  write_file(dir.file("f.qk-journal"), journal.substr(0, journal.size() - length));
  const RunResult result = run_in(dir, kNoMatch);
  EXPECT_EQ(result.out,
            refusal("f", "Journal f.qk-journal does not fit the file as it is now: not applied"));
  EXPECT_TRUE(read_file(dir.file("f")) == shrunk);
}

TEST(Recovery, SecondRunWhileOneEditsTheFile) {
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  const std::string original = text();
  std::string edited = original;
  for (size_t at = edited.find("cat"); at != std::string::npos; at = edited.find("cat", at + 3))
    edited.replace(at, 3, "dog");
  const size_t calls = count_calls(kEdit, original);
  // The first run is stopped before its journal exists, and in the
  // middle of its writes; an in-place edit, a run that finds nothing and
  // one that writes an output file are refused meanwhile.
  for (size_t call : {size_t{2}, calls / 2}) {
    SCOPED_TRACE("first run stopped before call " + std::to_string(call));
    TempDir dir;
    write_file(dir.file("f"), original);
    std::vector<RunResult> second;
    std::string journal_then;
    const RunResult first = signal_at(dir, kEdit, call, SIGSTOP, [&](int pid) {
      int status;
      waitpid(pid, &status, WUNTRACED);
      journal_then = read_file(dir.file("f.qk-journal"));
      for (const auto& args : {kEdit, kNoMatch})
        second.push_back(run_in(dir, args));
      kill(pid, SIGCONT);
    });
    for (const RunResult& refused : second) {
      EXPECT_EQ(refused.out, refusal("f", "Another QK run is editing this file"));
      EXPECT_EQ(refused.exit_code, 9);
    }
    EXPECT_EQ(first.exit_code, 0) << first.out;
    EXPECT_TRUE(read_file(dir.file("f")) == edited);
    EXPECT_FALSE(file_exists(dir.file("f.qk-journal")));
    EXPECT_EQ(journal_then == "<missing>", call == 2);
  }
}

// Where no journal file can be made the run edits the file all the same,
// with the journal in memory: a name too long for one, a folder only
// root may write.
TEST(Recovery, WithoutAJournalFileTheRunGoesOn) {
  const std::string original = text();
  std::string shrunk = original;
  for (size_t at = shrunk.find("cat"); at != std::string::npos; at = shrunk.find("cat", at + 1))
    shrunk.replace(at, 3, "c");
  for (bool unwritable_folder : {false, true}) {
    SCOPED_TRACE(unwritable_folder ? "a folder only root may write" : "a name too long");
    // Windows paths end at 260 characters, and Windows has no such folder.
    if (on_windows_build() || (unwritable_folder && geteuid() != 0)) continue;
    TempDir dir;
    const std::string name = unwritable_folder ? "f" : std::string(250, 'n');
    write_file(dir.file(name), original);
    RunResult result;
    if (unwritable_folder) {
      chmod(dir.file(name).c_str(), 0666);
      chmod(dir.path().c_str(), 0755);
      result = run_in(dir, {name, "cat", "c"}, true);
      chmod(dir.path().c_str(), 0777);
    } else {
      result = run_in(dir, {name, "cat", "c"});
    }
    EXPECT_EQ(result.exit_code, 0) << result.out;
    EXPECT_TRUE(read_file(dir.file(name)) == shrunk);
    EXPECT_FALSE(file_exists(dir.file(name + ".qk-journal")));
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
      EXPECT_FALSE(file_exists(leftover.dir.file("f.qk-journal")));
    }
  }
}

}  // namespace
}  // namespace qk::test
