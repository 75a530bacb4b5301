// The restore journal under attack and under mishaps: QK runs as root in
// other users' folders, on files reached through links, on full disks.
// Each case is one thing a local user (or a careless one) can do to a run
// or to the journal it left, and what must hold afterwards: no file but
// the target changed, the target the original or the finished result (or
// untouched, with a refusal that says why and what to do), no crash, and
// the errorlevel of the real cause. Runs are stopped or killed at an exact
// file call by the fault shim; other users are unused numeric ids (root
// only); a full disk is a small tmpfs (where mounting is allowed).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace qk::test {
namespace {

constexpr int kOwner = 4343;  // the target's owner
constexpr int kOther = 4242;  // another user, who may not write it

std::string text() {
  std::string t;
  for (int i = 0; i < 30000; ++i)
    t += i % 3 ? "the foo sat on the mat\n" : "a dog and a foo\n";
  return t;
}

std::string replaced(std::string s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

// The number (from 1) of the first file call of `kind` that `args` makes
// in a fresh folder on a file "f" holding `before`.
size_t first_call(const std::vector<std::string>& args, const std::string& before,
                  const std::string& kind) {
  TempDir dir;
  write_file(dir.file("f"), before);
  const std::vector<std::string> calls = calls_of(args, dir.path());
  for (size_t i = 0; i < calls.size(); ++i)
    if (calls[i] == kind) return i + 1;
  return 0;
}

// Runs `args` in `dir` and sends `sig` just before file call `call`;
// `stopped` runs while a SIGSTOP holds it, which is then lifted.
RunResult signal_at(const std::string& dir, const std::vector<std::string>& args, size_t call,
                    int sig, std::function<void()> stopped = nullptr, RunOptions options = {}) {
  options.cwd = dir;
  const auto shim = fault_shim_env();
  options.env.insert(options.env.end(), shim.begin(), shim.end());
  options.env.push_back({"QK_SIGNAL_CALL", std::to_string(call)});
  options.env.push_back({"QK_SIGNAL", std::to_string(sig)});
  if (stopped) {
    options.while_running = [stopped](int pid) {
      int status;
      waitpid(pid, &status, WUNTRACED);
      stopped();
      kill(pid, SIGCONT);
    };
  }
  return run_qk(args, options);
}

RunResult run_as(const std::string& dir, const std::vector<std::string>& args, int uid = -1,
                 const std::vector<std::pair<std::string, std::string>>& env = {}) {
  RunOptions options;
  options.cwd = dir;
  options.uid = uid;
  options.env = env;
  return run_qk(args, options);
}

// A folder for the journals of a user's own, which only that user may
// write.
std::vector<std::pair<std::string, std::string>> own_folder_of(const TempDir& dir, int uid) {
  const std::string home = dir.file("state-" + std::to_string(uid));
  mkdir(home.c_str(), 0700);
  EXPECT_EQ(chown(home.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(uid)), 0);
  return {{"XDG_STATE_HOME", home}};
}

bool marks_kept(const std::string& dir) {
  const std::string probe = dir + "/mark-probe";
  write_file(probe, "");
  const bool kept = setxattr(probe.c_str(), "user.qk.probe", "1", 1, 0) == 0;
  unlink(probe.c_str());
  return kept;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A tmpfs of `size` bytes, where mounting is allowed.
class SmallDisk {
 public:
  explicit SmallDisk(long size) {
    if (geteuid() != 0) return;
    const std::string options = "size=" + std::to_string(size);
    if (mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, options.c_str()) == 0) mounted_ = true;
  }
  ~SmallDisk() {
    if (mounted_) umount2(dir_.path().c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  bool mounted() const { return mounted_; }
  std::string file(const std::string& name) const { return dir_.file(name); }
  const std::string& path() const { return dir_.path(); }
  // Fills what room is left, but `spare` bytes.
  void fill(long spare) {
    const int fd = open(file("filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string block(4096, 'z');
    long size = 0;
    for (ssize_t n; (n = write(fd, block.data(), block.size())) > 0;)
      size += n;
    if (spare > 0 && ftruncate(fd, size > spare ? size - spare : 0) != 0) size = 0;
    close(fd);
  }
  void empty() { unlink(file("filler").c_str()); }

 private:
  TempDir dir_;
  bool mounted_ = false;
};

struct Case {
  const char* what;
  bool needs_root;
  std::function<void()> check;
};

// 1. Root edits a file in a folder another user owns; once its journal is
// there, the user swaps the file for a link to a file only root may read.
// Every change goes through the handle root opened: the other file keeps
// every byte, and the file root opened gets the whole edit.
void swapped_for_a_link() {
  TempDir dir;
  TempDir safe;
  const std::string secret = "root's own secret\n";
  write_file(safe.file("secret"), secret);
  chmod(safe.file("secret").c_str(), 0600);
  const std::string before = text();
  write_file(dir.file("f"), before);
  ASSERT_EQ(chown(dir.file("f").c_str(), kOwner, kOwner), 0);
  ASSERT_EQ(chown(dir.path().c_str(), kOwner, kOwner), 0);
  const std::vector<std::string> edit = {"f", "foo", "x"};
  const size_t write = first_call(edit, before, "write");
  ASSERT_GT(write, 0u);
  const RunResult result = signal_at(dir.path(), edit, write + 1, SIGSTOP, [&] {
    rename(dir.file("f").c_str(), dir.file("old").c_str());
    symlink(safe.file("secret").c_str(), dir.file("f").c_str());
  });
  EXPECT_EQ(result.exit_code, 0) << result.out;
  EXPECT_EQ(read_file(safe.file("secret")), secret);
  EXPECT_TRUE(read_file(dir.file("old")) == replaced(before, "foo", "x"));
  EXPECT_TRUE(journals_in(dir.path()).empty());
}

// 2. A run killed after its first write, reached next under another name:
// the next run finds the journal, puts the file back, then edits it.
void found_under_every_name() {
  struct Name {
    const char* what;
    std::function<void(const TempDir&, const TempDir&)> before_kill;  // made before the kill
    std::string killed;                                               // name the killed run has
    std::function<void(const TempDir&, const TempDir&)> after_kill;
    std::string next;  // name the next run has; "other/..." is in the second folder
    bool needs_marks;
  };
  const std::vector<Name> names = {
      {"through a link",
       [](const TempDir& d, const TempDir&) { symlink("real", d.file("link").c_str()); }, "link",
       nullptr, "real", false},
      {"renamed in its folder", nullptr, "real",
       [](const TempDir& d, const TempDir&) {
         rename(d.file("real").c_str(), d.file("renamed").c_str());
       },
       "renamed", false},
      {"another hard link",
       [](const TempDir& d, const TempDir&) {
         link(d.file("real").c_str(), d.file("second").c_str());
       },
       "real", nullptr, "second", false},
      {"moved to another folder", nullptr, "real",
       [](const TempDir& d, const TempDir& o) {
         rename(d.file("real").c_str(), o.file("moved").c_str());
       },
       "other/moved", true},
  };
  const std::string before = text();
  for (const Name& name : names) {
    SCOPED_TRACE(name.what);
    TempDir dir;
    TempDir other;
    if (name.needs_marks && !marks_kept(dir.path())) continue;
    write_file(dir.file("real"), before);
    if (name.before_kill) name.before_kill(dir, other);
    std::vector<std::string> edit = {name.killed, "foo", "bar"};
    std::vector<std::string> probe = edit;
    probe[0] = "f";
    const size_t write = first_call(probe, before, "write");
    ASSERT_GT(write, 0u);
    EXPECT_EQ(signal_at(dir.path(), edit, write + 1, SIGKILL).exit_code, 128 + SIGKILL);
    ASSERT_FALSE(journals_in(dir.path()).empty());
    if (name.after_kill) name.after_kill(dir, other);
    const bool elsewhere = name.next.rfind("other/", 0) == 0;
    const std::string next = elsewhere ? name.next.substr(6) : name.next;
    const RunResult result = run_as(elsewhere ? other.path() : dir.path(), {next, "foo", "baz"});
    EXPECT_EQ(result.exit_code, 0) << result.out;
    EXPECT_TRUE(contains(result.out, "\nRestored " + next + " as it was before an unfinished run"))
        << result.out;
    EXPECT_TRUE(read_file((elsewhere ? other : dir).file(next)) == replaced(before, "foo", "baz"));
    EXPECT_TRUE(journals_in(dir.path()).empty());
  }
}

// A journal left by an edit killed after its last write to the file. A
// same-length edit is put back from it (`restore`); one that changes the
// length, killed while it was written from its map, is finished.
struct Leftover {
  std::string original = text();
  std::vector<std::string> edit;
  std::string result;
  bool restore;
  explicit Leftover(bool same_length)
      : edit(same_length ? std::vector<std::string>{"f", "foo", "bar"}
                         : std::vector<std::string>{"f", "foo", "x"}),
        result(replaced(original, "foo", same_length ? "bar" : "x")),
        restore(same_length) {}
  void leave(const std::string& dir) const {
    write_file(dir + "/f", original);
    TempDir clean;
    write_file(clean.file("f"), original);
    const std::vector<std::string> calls = calls_of(edit, clean.path());
    size_t last_write = calls.size();
    while (last_write > 0 && calls[last_write - 1] != "write")
      --last_write;
    ASSERT_GT(last_write, 0u);
    EXPECT_EQ(signal_at(dir, edit, last_write, SIGKILL).exit_code, 128 + SIGKILL);
    ASSERT_FALSE(journals_in(dir).empty());
  }
};

// 3. Putting the file back, or finishing its edit, fails part way (each
// write of it in turn): it stops there and the journal stays, and a later
// run finishes the job.
void recovery_is_restartable() {
  const std::vector<std::string> none = {"f", "QKneverQK", "x"};
  for (bool same_length : {true, false}) {
    const Leftover leftover(same_length);
    SCOPED_TRACE(same_length ? "put back" : "finished");
    size_t writes = 0;
    {
      TempDir dir;
      leftover.leave(dir.path());
      for (const std::string& call : calls_of(none, dir.path()))
        writes += call == "write";
      ASSERT_TRUE(read_file(dir.file("f")) == (same_length ? leftover.original : leftover.result));
    }
    ASSERT_GT(writes, 0u);
    for (size_t n = 1; n <= writes; ++n) {
      SCOPED_TRACE("write " + std::to_string(n) + " of the recovery fails");
      TempDir dir;
      leftover.leave(dir.path());
      RunOptions options;
      options.cwd = dir.path();
      options.env = fault_shim_env();
      options.env.push_back({"QK_FAIL_CALL", "write:" + std::to_string(n)});
      const RunResult failed = run_qk(none, options);
      EXPECT_EQ(failed.exit_code, 14) << failed.out;
      EXPECT_TRUE(contains(failed.out, "stays: free some space or mend the disk"));
      EXPECT_FALSE(journals_in(dir.path()).empty());
      const RunResult again = run_as(dir.path(), none);
      EXPECT_EQ(again.exit_code, 0) << again.out;
      EXPECT_TRUE(contains(again.out, same_length ? "\nRestored f" : "\nFinished the edit of f"));
      EXPECT_TRUE(read_file(dir.file("f")) == (same_length ? leftover.original : leftover.result));
      EXPECT_TRUE(journals_in(dir.path()).empty());
    }
  }
}

// 5 and the small disk: with no room at all an edit that needs a journal
// does not start, and says so; one that grows the file past the room left
// (its map holds the new bytes) does not start either; edits that shrink a
// file, or delete its lines,
// need a journal of a few bytes a change and go ahead on a disk with far
// less room left than the file's size.
void full_disk() {
  SmallDisk disk(4 << 20);
  if (!disk.mounted()) return;  // mounting is not allowed here
  const std::vector<std::pair<std::string, std::string>> own = {
      {"XDG_STATE_HOME", disk.file("state")}};
  std::string before;
  while (before.size() < (2u << 20))
    before += text();
  before.resize(2u << 20);
  write_file(disk.file("f"), before);
  disk.fill(0);
  RunResult result = run_as(disk.path(), {"f", "foo", "x"}, -1, own);
  EXPECT_EQ(result.exit_code, 9) << result.out;
  EXPECT_TRUE(contains(result.out, "no room for the journal: nothing was written"));
  EXPECT_TRUE(read_file(disk.file("f")) == before);
  disk.empty();

  // Its new bytes go into the map first, which then finds no room.
  disk.fill(128 << 10);
  result = run_as(disk.path(), {"f", "foo", "foofoofoo"}, -1, own);
  EXPECT_EQ(result.exit_code, 9) << result.out;
  EXPECT_TRUE(contains(result.out, "no room for the journal: nothing was written"));
  EXPECT_TRUE(read_file(disk.file("f")) == before);
  EXPECT_TRUE(journals_in(disk.path()).empty());
  disk.empty();

  disk.fill(1536 << 10);
  result = run_as(disk.path(), {"f", "foo", "x"}, -1, own);
  EXPECT_EQ(result.exit_code, 0) << result.out;
  EXPECT_TRUE(read_file(disk.file("f")) == replaced(before, "foo", "x"));
  result = run_as(disk.path(), {"f", "dog", "", "-D"}, -1, own);
  EXPECT_EQ(result.exit_code, 0) << result.out;
  EXPECT_EQ(read_file(disk.file("f")).find("dog"), std::string::npos);
  EXPECT_TRUE(journals_in(disk.path()).empty());
}

// 4. After a kill, a corrected copy of the same length is copied over the
// file (the inode stays): the journal no longer fits it, is kept, and the
// copy is left as it is.
void stale_journal_is_refused() {
  TempDir dir;
  const std::string before = text();
  write_file(dir.file("f"), before);
  const std::vector<std::string> edit = {"f", "foo", "bar"};
  const size_t write = first_call(edit, before, "write");
  EXPECT_EQ(signal_at(dir.path(), edit, write + 1, SIGKILL).exit_code, 128 + SIGKILL);
  const std::string place = journal_of(dir.file("f"));
  ASSERT_TRUE(file_exists(place));
  std::string copy = replaced(before, "foo", "bar");
  copy.replace(copy.find("mat"), 3, "rug");
  const int fd = open(dir.file("f").c_str(), O_WRONLY | O_TRUNC);
  ASSERT_EQ(::write(fd, copy.data(), copy.size()), static_cast<ssize_t>(copy.size()));
  close(fd);
  const RunResult result = run_as(dir.path(), {"f", "QKneverQK", "x"});
  EXPECT_EQ(result.exit_code, 9);
  EXPECT_TRUE(contains(result.out, "does not fit the file as it is now: not applied"))
      << result.out;
  EXPECT_TRUE(read_file(dir.file("f")) == copy);
  EXPECT_TRUE(file_exists(place));
}

// 7. Another user plants something at the journal's place in a folder
// anyone may write (sticky, like /tmp): it neither blocks the file's owner
// nor root, and is left as it is.
void planted_objects() {
  struct Plant {
    const char* what;
    std::function<void(const std::string&)> make;
  };
  const std::vector<Plant> plants = {
      {"junk", [](const std::string& at) { write_file(at, std::string(300, 'J')); }},
      {"a link", [](const std::string& at) { symlink("/etc/passwd", at.c_str()); }},
      {"a FIFO", [](const std::string& at) { mkfifo(at.c_str(), 0666); }},
      {"a folder", [](const std::string& at) { mkdir(at.c_str(), 0777); }},
  };
  const std::string before = text();
  for (const Plant& plant : plants) {
    for (int runner : {kOwner, 0}) {
      SCOPED_TRACE(std::string(plant.what) + (runner ? ", the owner's run" : ", root's run"));
      TempDir dir;
      chmod(dir.path().c_str(), 01777);
      write_file(dir.file("f"), before);
      ASSERT_EQ(chown(dir.file("f").c_str(), kOwner, kOwner), 0);
      for (const std::string& at :
           {journal_of(dir.file("f")), journal_of(dir.file("f")) + ".new"}) {
        plant.make(at);
        lchown(at.c_str(), kOther, kOther);
      }
      const RunResult result =
          run_as(dir.path(), {"f", "foo", "x"}, runner ? runner : -1, own_folder_of(dir, runner));
      EXPECT_EQ(result.exit_code, 0) << result.out;
      EXPECT_TRUE(read_file(dir.file("f")) == replaced(before, "foo", "x"));
      struct stat st;
      EXPECT_EQ(lstat(journal_of(dir.file("f")).c_str(), &st), 0);
      EXPECT_EQ(st.st_uid, static_cast<uid_t>(kOther));
    }
  }
}

// 8. A user who may only read the file holds a lock on it: the owner's
// edits go ahead all the same.
void readers_cannot_lock() {
  TempDir dir;
  const std::string before = text();
  write_file(dir.file("f"), before);
  const int reader = open(dir.file("f").c_str(), O_RDONLY);
  ASSERT_EQ(flock(reader, LOCK_SH), 0);
  const RunResult result = run_as(dir.path(), {"f", "foo", "x"});
  close(reader);
  EXPECT_EQ(result.exit_code, 0) << result.out;
  EXPECT_TRUE(read_file(dir.file("f")) == replaced(before, "foo", "x"));
}

// 9. Root's run on a user's file dies: the user's next run says whose the
// journal is and what to do; root's next run puts the file back.
void roots_journal_on_a_users_file() {
  TempDir dir;
  ASSERT_EQ(chown(dir.path().c_str(), kOwner, kOwner), 0);
  const std::string before = text();
  write_file(dir.file("f"), before);
  ASSERT_EQ(chown(dir.file("f").c_str(), kOwner, kOwner), 0);
  const std::vector<std::string> edit = {"f", "foo", "bar"};
  const size_t write = first_call(edit, before, "write");
  EXPECT_EQ(signal_at(dir.path(), edit, write + 1, SIGKILL).exit_code, 128 + SIGKILL);
  const std::string torn = read_file(dir.file("f"));
  const std::vector<std::string> none = {"f", "QKneverQK", "x"};
  const RunResult users = run_as(dir.path(), none, kOwner, own_folder_of(dir, kOwner));
  EXPECT_EQ(users.out, banner() + "\nERROR: File is Read Only - f\n       (Journal " +
                           journal_of(dir.file("f")) +
                           " of an unfinished run was made by root: run QK as root to put the "
                           "file back)\n");
  EXPECT_EQ(users.exit_code, 9);
  EXPECT_TRUE(read_file(dir.file("f")) == torn);
  const RunResult roots = run_as(dir.path(), none);
  EXPECT_EQ(roots.exit_code, 0) << roots.out;
  EXPECT_TRUE(read_file(dir.file("f")) == before);
}

// 10. A read of the file that fails in the middle of an edit ends as a
// read fault (errorlevel 5), not as a write fault, with the original back.
void read_fault_is_a_read_fault() {
  TempDir dir;
  const std::string before = text();
  write_file(dir.file("f"), before);
  RunOptions options;
  options.cwd = dir.path();
  options.env = fault_shim_env();
  options.env.push_back({"QK_TEST_CHUNK_SIZE", "8192"});
  options.env.push_back({"QK_FAIL_READ", "20"});
  const RunResult result = run_qk({"f", "foo", "foofoo"}, options);
  EXPECT_EQ(result.out, banner() + "\nERROR: Bad file - could not read\n");
  EXPECT_EQ(result.exit_code, 5);
  EXPECT_TRUE(read_file(dir.file("f")) == before);
  EXPECT_TRUE(journals_in(dir.path()).empty());
}

TEST(JournalTrust, WhatOthersAndMishapsCanDo) {
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  const std::vector<Case> cases = {
      {"1: the file swapped for a link", true, swapped_for_a_link},
      {"2: found under every name", false, found_under_every_name},
      {"3: a failed recovery is finished later", false, recovery_is_restartable},
      {"3, 5: a full disk", true, full_disk},
      {"4: a stale journal is refused", false, stale_journal_is_refused},
      {"7: planted objects", true, planted_objects},
      {"8: readers cannot lock", false, readers_cannot_lock},
      {"9: root's journal on a user's file", true, roots_journal_on_a_users_file},
      {"10: a read fault", false, read_fault_is_a_read_fault},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needs_root && geteuid() != 0) continue;
    c.check();
  }
}

}  // namespace
}  // namespace qk::test
