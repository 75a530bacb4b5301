// Memory: every kind of edit of a large file works in a few megabytes,
// inside a memory cgroup far smaller than the file, and the runs that
// once ran out of memory under an address-space limit (ulimit -v) now end
// with the result, or with the original put back, never with a crash;
// and runs that can keep no journal file refuse to start.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace qk::test {
namespace {

// The most any run may hold: 16 MiB, plus the (short) texts.
constexpr long kMostKib = 16 << 10;

// Writes `size` bytes of `line` repeated, with `first` in front.
void write_lines(const std::string& path, const std::string& first, const std::string& line,
                 long size) {
  std::string block;
  while (block.size() < (1u << 20))
    block += line;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, first.data(), first.size()), static_cast<ssize_t>(first.size()));
  for (long done = static_cast<long>(first.size()); done < size;) {
    const size_t n =
        static_cast<size_t>(std::min<long>(size - done, static_cast<long>(block.size())));
    ASSERT_EQ(write(fd, block.data(), n), static_cast<ssize_t>(n));
    done += static_cast<long>(n);
  }
  close(fd);
}

bool same_bytes(const std::string& a, const std::string& b) {
  const int fa = open(a.c_str(), O_RDONLY);
  const int fb = open(b.c_str(), O_RDONLY);
  std::vector<char> x(1 << 20);
  std::vector<char> y(1 << 20);
  bool same = fa >= 0 && fb >= 0;
  while (same) {
    const ssize_t n = read(fa, x.data(), x.size());
    ssize_t m = 0;
    while (m < n) {
      const ssize_t got = read(fb, y.data() + m, static_cast<size_t>(n - m));
      if (got <= 0) break;
      m += got;
    }
    same = n == m && std::memcmp(x.data(), y.data(), static_cast<size_t>(n)) == 0;
    if (n <= 0) break;
  }
  char extra;
  same = same && read(fb, &extra, 1) == 0;
  close(fa);
  close(fb);
  return same;
}

TEST(ConstantMemory, EveryEditOfALargeFileInASmallCgroup) {
  if (const char* why = no_memory_limit()) GTEST_SKIP() << why;
  if (under_emulation()) GTEST_SKIP() << "the emulator needs more than the cgroup allows";
  MemoryCgroup cgroup(32L << 20);
  if (cgroup.path().empty()) GTEST_SKIP() << "no memory cgroup can be made here (root, cgroup v1)";
  const std::vector<std::vector<std::string>> edits = {
      {"cat", "dog"},
      {"zebra", "horse"},
      {"cat", "c"},
      {"cat", "catt"},
      {"zebra", "", "-D"},
      {"zebra", "x", "-U"},
      {"zebra", "ZEBRA", "-M"},
      {"zebra", "longer", "-#:L"},
      {"cat", "tiger", "-#:J", "-O"},
      {"QKnothingQK", "top\r\n", "-B"},
  };
  TempDir dir;
  write_lines(dir.file("original"), "", "the cat sat on the mat\r\nzebra\r\na dog and a cat\r\n",
              256L << 20);
  for (const auto& edit : edits) {
    SCOPED_TRACE(edit[0] + " " + edit[1] + (edit.size() > 2 ? " " + edit[2] : ""));
    std::vector<std::string> in_cgroup = {"f"};
    std::vector<std::string> free = {"expected"};
    in_cgroup.insert(in_cgroup.end(), edit.begin(), edit.end());
    free.insert(free.end(), edit.begin(), edit.end());
    for (const char* name : {"f", "expected"})
      ASSERT_EQ(system(("cp " + dir.file("original") + " " + dir.file(name)).c_str()), 0);
    RunOptions options;
    options.cwd = dir.path();
    ASSERT_EQ(run_qk(free, options).exit_code, 0);
    options.cgroup = cgroup.path();
    const RunResult result = run_qk(in_cgroup, options);
    EXPECT_EQ(result.exit_code, 0) << result.out;
    EXPECT_LE(result.peak_kib, kMostKib);
    EXPECT_TRUE(same_bytes(dir.file("f"), dir.file("expected")));
    EXPECT_TRUE(journals_in(dir.path()).empty());
  }
}

// The runs that once crashed under an address-space limit: with a
// journal file they have the memory they need, and must end with the
// result. Where no journal can be made (a folder QK may not write, and no
// folder of the user's own) they must not start (errorlevel 9).
TEST(ConstantMemory, AddressSpaceLimitsNeverTearOrCrash) {
  if (const char* why = no_memory_limit()) GTEST_SKIP() << why;
  struct Case {
    const char* what;
    std::string first;
    std::string line;
    long size;
    long limit;
    std::vector<std::string> args;
  };
  const std::vector<Case> cases = {
      {"cutting every other byte", "", "ab", 64L << 20, 120L << 20, {"f", "b", "", "-V:3"}},
      {"growing the first line",
       "START\r\n",
       "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefgh\r\n",
       64L << 20,
       110L << 20,
       {"f", "START", "START12345", "-V:3"}},
      {"dropping every line", "", "x\r\n", 66L << 20, 120L << 20, {"f", "x", "", "-U"}},
  };
  for (const Case& c : cases) {
    for (bool journal_file : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (journal_file ? "" : ", no journal"));
      if (!journal_file && geteuid() != 0) continue;  // a folder QK may not write needs root
      TempDir dir;
      write_lines(dir.file("original"), c.first, c.line, c.size);
      ASSERT_EQ(system(("cp " + dir.file("original") + " " + dir.file("expected") + " && cp " +
                        dir.file("original") + " " + dir.file("f"))
                           .c_str()),
                0);
      std::vector<std::string> reference = c.args;
      reference[0] = "expected";
      RunOptions options;
      options.cwd = dir.path();
      ASSERT_EQ(run_qk(reference, options).exit_code, 0);
      if (!journal_file) {
        // Nobody's run, in a folder only root may write.
        chmod(dir.file("f").c_str(), 0666);
        chmod(dir.path().c_str(), 0755);
        options.drop_privileges = true;
        options.env = {{"XDG_STATE_HOME", "/nonexistent"}};
      }
      // Under the emulator the limit is the guest's whole address space,
      // which counts the 128 MiB below an i386 program's start.
      options.limits = {{"memory", c.limit + (under_emulation() ? 128L << 20 : 0)}};
      const RunResult result = run_qk(c.args, options);
      chmod(dir.path().c_str(), 0777);
      const bool done = result.exit_code == 0 && same_bytes(dir.file("f"), dir.file("expected"));
      const bool refused =
          !journal_file && result.exit_code == 9 && same_bytes(dir.file("f"), dir.file("original"));
      EXPECT_TRUE(journal_file ? done : refused) << result.exit_code << result.out;
      EXPECT_TRUE(journals_in(dir.path()).empty());
    }
  }
}

// The image takes a window of address space a few chunks wide, not the
// size of the file: every kind of edit of a 256 MiB file works under an
// address-space limit of half that (ulimit -v 131072), in place and to an
// output file.
TEST(ConstantMemory, EveryEditOfALargeFileUnderAnAddressSpaceLimit) {
  if (const char* why = no_memory_limit()) GTEST_SKIP() << why;
  const std::vector<std::vector<std::string>> edits = {
      {"zebra", "horse"},          {"cat", "c"},         {"cat", "catt"},
      {"zebra", "", "-D"},         {"zebra", "x", "-U"}, {"zebra", "ZEBRA", "-M"},
      {"cat", "dog", "-$", "out"},
  };
  TempDir dir;
  write_lines(dir.file("original"), "", "the cat sat on the mat\nzebra\na dog and a cat\n",
              256L << 20);
  for (const auto& edit : edits) {
    SCOPED_TRACE(edit[0] + " " + edit[1] + (edit.size() > 2 ? " " + edit[2] : ""));
    std::vector<std::string> limited = {"f"};
    std::vector<std::string> free = {"expected"};
    limited.insert(limited.end(), edit.begin(), edit.end());
    free.insert(free.end(), edit.begin(), edit.end());
    const bool to_output = edit.size() > 3 && edit[2] == "-$";
    if (to_output) free[4] = "expected.out";
    for (const char* name : {"f", "expected"})
      ASSERT_EQ(system(("cp " + dir.file("original") + " " + dir.file(name)).c_str()), 0);
    RunOptions options;
    options.cwd = dir.path();
    ASSERT_EQ(run_qk(free, options).exit_code, 0);
    // Under the emulator the limit is the guest's whole address space,
    // which counts the 128 MiB below an i386 program's start.
    options.limits = {{"memory", (128L << 20) + (under_emulation() ? 128L << 20 : 0)}};
    const RunResult result = run_qk(limited, options);
    EXPECT_EQ(result.exit_code, 0) << result.out;
    EXPECT_TRUE(to_output ? same_bytes(dir.file("out"), dir.file("expected.out"))
                          : same_bytes(dir.file("f"), dir.file("expected")));
    EXPECT_TRUE(journals_in(dir.path()).empty());
  }
}

}  // namespace
}  // namespace qk::test
