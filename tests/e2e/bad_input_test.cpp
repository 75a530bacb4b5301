// Bad input that QK must refuse with a clear message while leaving every
// file as it was: texts and environment values far longer than a text
// slot, '%' in names and texts (printed, never taken as a format), and
// files at and over the 2147483583-byte limit. The limit
// tests need sparse multi-gigabyte files and about 2 GiB of memory; they
// run only with QK_BIG_TESTS=1 (scripts/reliability.sh sets it). Last, a
// run that cannot get the memory it needs, under a limit the test sets.
//
// Names are upper case so that a build which upper-cases the target's name
// shows it unchanged.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace qk::test {
namespace {

constexpr off_t kLimit = 2147483583;

std::set<std::string> entries(const std::string& path) {
  std::set<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* e = readdir(dir))
      names.insert(e->d_name);
    closedir(dir);
  }
  return names;
}

struct Case {
  const char* what;
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::string>> env;
  std::string out;  // after the banner
  int code;
  std::string after;  // the target "F" afterwards
};

void expect_cases(const std::string& before, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    size_t length = 0;
    for (const std::string& arg : c.args)
      length += arg.size() + 1;
    // A Windows command line holds at most 32767 characters.
    if (on_windows_build() && length > 32767) continue;
    TempDir dir;
    write_file(dir.file("F"), before);
    const std::set<std::string> files = entries(dir.path());
    RunOptions options;
    options.cwd = dir.path();
    options.env = c.env;
    RunResult result = run_qk(c.args, options);
    EXPECT_EQ(result.out, banner() + c.out);
    EXPECT_EQ(result.exit_code, c.code);
    EXPECT_EQ(read_file(dir.file("F")), c.after);
    if (c.code != 0) {
      EXPECT_EQ(entries(dir.path()), files) << "a refused run created a file";
    }
  }
}

// Nothing is cut without a word: a text longer than a slot is refused, and
// a name is taken whole (a cut one could name another file).
TEST(BadInput, TooLongIsRefusedNeverCut) {
  const std::string target = std::string(300, 'a') + "\r\n";
  const std::string huge(100000, 'a');  // near the system's limit for one value
  const std::string long_name(300, 'O');
  auto too_long = [](const std::string& which, size_t length) {
    return "\nERROR: Text too long: " + which + " has " + std::to_string(length) +
           " characters, at most 261; give a longer text in a file with -L\n";
  };
  expect_cases(target, {
                           {"search from the environment",
                            {"F", "-E", "S", "b"},
                            {{"S", huge}},
                            too_long("<search>", huge.size()),
                            2,
                            target},
                           {"new text from the environment",
                            {"F", "-E", "A", "-E", "N"},
                            {{"A", "a"}, {"N", std::string(100000, 'n')}},
                            too_long("<new>", 100000),
                            2,
                            target},
                           {"variable name longer than a slot",
                            {"F", "-E", std::string(5000, 'V'), "b"},
                            {{std::string(261, 'V'), "a"}},
                            "\nERROR: Bad or missing command line information\n",
                            2,
                            target},
                           {"output name taken whole, and refused by the system",
                            {"F", "a", "b", "-$", long_name},
                            {},
                            "\nERROR: Could not create new file: " + long_name + "\n",
                            6,
                            target},
                           {"output name from a long variable",
                            {"F", "a", "b", "-$", "-E", "OUT"},
                            {{"OUT", long_name}},
                            "\nERROR: Could not create new file: " + long_name + "\n",
                            6,
                            target},
                           {"target name longer than any path",
                            {std::string(100000, 'F'), "a", "b"},
                            {},
                            "\nERROR: Filename too long: 100000 characters, at most 4095\n",
                            2,
                            target},
                       });
}

TEST(BadInput, PercentSignsArePrintedAsTyped) {
  const std::string target = "100% sure, %s and %n\r\n";
  expect_cases(
      target,
      {
          {"percent texts",
           {"F", "%s", "%n%ld"},
           {},
           "\nOK: 1 matches found\n",
           0,
           "100% sure, %n%ld and %n\r\n"},
          {"missing target",
           {"%S%N%X", "a", "b"},
           {},
           "\nERROR: Bad filename or file does not exist: %S%N%X\n",
           1,
           target},
          {"missing -L file",
           {"F", "-L", "%N%S", "b"},
           {},
           "\nERROR: Could not load file for /L switch into memory\n"
           "       (File: %N%S not found)\n",
           7,
           target},
          {"bad switch text",
           {"F", "a", "b", "-q%s%d"},
           {},
           "\nERROR: Bad command line information: Q%S%D\n" + switch_hint(),
           2,
           target},
          {"output name with -V:3",
           {"F", "SURE", "x", "-$", "%S%N", "-V:3"},
           {},
           "\nOutput filename       : %S%N\nOriginal filesize : 22\nBytes lost        : -3\n"
           "Bytes written     : 19\nNumber times text inserted at & : 0\n\nOK: 1 matches found\n",
           0,
           target},
      });

  // A write fault names a target whose name is all '%'.
  if (no_file_size_limit()) return;
  TempDir dir;
  write_file(dir.file("%S%N%%"), target);
  RunOptions options;
  options.cwd = dir.path();
  options.limits = {{"fsize", static_cast<long>(target.size())}};
  RunResult result = run_qk({"%S%N%%", "sure", "certain"}, options);
  EXPECT_EQ(result.out, banner() + "\nERROR: Write fault encountered: %S%N%%\n");
  EXPECT_EQ(result.exit_code, 14);
  EXPECT_EQ(read_file(dir.file("%S%N%%")), target);
}

// --- The size limit: sparse files of about 2 GiB -------------------------

bool big_tests() {
  const char* on = std::getenv("QK_BIG_TESTS");
  return on && std::string(on) == "1";
}

// A sparse file of `size` bytes with `marker` written at `at`.
void sparse_file(const std::string& path, off_t size, off_t at, const std::string& marker) {
  int fd = open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, size), 0);
  ASSERT_EQ(pwrite(fd, marker.data(), marker.size(), at), static_cast<ssize_t>(marker.size()));
  close(fd);
}

std::string bytes_at(const std::string& path, off_t at, size_t count) {
  std::string s(count, '\0');
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0 || pread(fd, s.data(), count, at) != static_cast<ssize_t>(count)) s = "<unreadable>";
  if (fd >= 0) close(fd);
  return s;
}

struct stat status_of(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st;
}

TEST(BigFiles, TargetAtTheLimitIsEdited) {
  if (!big_tests()) GTEST_SKIP() << "set QK_BIG_TESTS=1 (needs 2 GiB of memory)";
  TempDir dir;
  const std::string path = dir.file("F");
  sparse_file(path, kLimit, kLimit - 100, "x foo y");
  RunOptions options;
  options.cwd = dir.path();
  RunResult result = run_qk({"F", "foo", "bar"}, options);
  EXPECT_EQ(result.out, banner() + "\nOK: 1 matches found\n");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(status_of(path).st_size, kLimit);
  EXPECT_EQ(bytes_at(path, kLimit - 100, 7), "x bar y");
}

// An edit at the limit that grows the file by one byte at its last match:
// all of it is rewritten, the last write would pass the limit, so the run
// stops and puts every byte back (the longest a run holds signals).
TEST(BigFiles, GrowingPastTheLimitIsUndone) {
  if (!big_tests()) GTEST_SKIP() << "set QK_BIG_TESTS=1 (needs 2 GiB of memory and disk)";
  TempDir dir;
  const std::string path = dir.file("F");
  sparse_file(path, kLimit, 0, "x");
  const int fd = open(path.c_str(), O_WRONLY);
  ASSERT_EQ(pwrite(fd, "x", 1, kLimit - 1), 1);
  close(fd);
  RunOptions options;
  options.cwd = dir.path();
  RunResult result = run_qk({"F", "x", "yy"}, options);
  EXPECT_EQ(result.out, banner() + "\nERROR: File too big or 0 bytes (2147483583 byte maximum)\n");
  EXPECT_EQ(result.exit_code, 4);
  EXPECT_EQ(status_of(path).st_size, kLimit);
  EXPECT_EQ(bytes_at(path, 0, 2), std::string("x\0", 2));
  EXPECT_EQ(bytes_at(path, kLimit - 2, 2), std::string("\0x", 2));
}

TEST(BigFiles, OverTheLimitIsRefusedUntouched) {
  if (!big_tests()) GTEST_SKIP() << "set QK_BIG_TESTS=1 (needs sparse 2 GiB files)";
  TempDir dir;
  const std::string target = dir.file("F");
  const std::string text = dir.file("BIG");
  sparse_file(target, kLimit + 1, 1000, "x foo y");
  sparse_file(text, kLimit + 1, 0, "foo");
  write_file(dir.file("SMALL"), "x foo y");
  const struct stat before = status_of(target);
  RunOptions options;
  options.cwd = dir.path();

  RunResult result = run_qk({"F", "foo", "bar"}, options);
  EXPECT_EQ(result.out, banner() + "\nERROR: File too big or 0 bytes (2147483583 byte maximum)\n");
  EXPECT_EQ(result.exit_code, 4);
  const struct stat after = status_of(target);
  EXPECT_EQ(after.st_size, before.st_size);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(bytes_at(target, 1000, 7), "x foo y");

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"SMALL", "-L", "BIG", "bar"},
        std::vector<std::string>{"SMALL", "foo", "-L", "BIG"}}) {
    result = run_qk(args, options);
    EXPECT_EQ(result.out, banner() +
                              "\nERROR: Could not load file for /L switch into memory\n"
                              "       (File BIG too big - 2147483583 maximum)\n");
    EXPECT_EQ(result.exit_code, 7);
    EXPECT_EQ(read_file(dir.file("SMALL")), "x foo y");
  }
}

TEST(BigFiles, TextFileAtTheLimitIsLoaded) {
  if (!big_tests()) GTEST_SKIP() << "set QK_BIG_TESTS=1 (needs 2 GiB of memory)";
  TempDir dir;
  sparse_file(dir.file("BIG"), kLimit, 0, "foo");
  write_file(dir.file("SMALL"), "x foo y");
  RunOptions options;
  options.cwd = dir.path();
  // A 2 GiB search text cannot match a 7-byte file, but it must load.
  RunResult result = run_qk({"SMALL", "-L", "BIG", "bar"}, options);
  EXPECT_EQ(result.out, banner() + "\nNo matches found\n");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(read_file(dir.file("SMALL")), "x foo y");
}

// Sizes that need 64-bit file offsets, which a 32-bit build only has with
// large-file support: just under the limit the target is edited with its
// three bytes and nothing else (every hole of the sparse file stays a
// hole, so no other block was written); past what a 32-bit offset holds,
// and past 4 GiB where a size cut to 32 bits would read 7, it is refused.
TEST(BigFiles, SizesPastThirtyTwoBitOffsets) {
  if (!big_tests()) GTEST_SKIP() << "set QK_BIG_TESTS=1 (needs 2 GiB of memory)";
  struct SizeCase {
    const char* what;
    off_t size;
    std::string out;  // after the banner
    int code;
    std::string marker_after;
  };
  const std::string too_big = "\nERROR: File too big or 0 bytes (2147483583 byte maximum)\n";
  const std::vector<SizeCase> cases = {
      {"just under the limit", kLimit - 1, "\nOK: 1 matches found\n", 0, "x bar y"},
      {"over 2^31 bytes", (off_t{1} << 31) + 5, too_big, 4, "x foo y"},
      {"over 2^32 bytes", (off_t{1} << 32) + 7, too_big, 4, "x foo y"},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string path = dir.file("F");
    const off_t at = c.size - 10;
    sparse_file(path, c.size, at, "x foo y");
    const struct stat before = status_of(path);
    RunOptions options;
    options.cwd = dir.path();
    RunResult result = run_qk({"F", "foo", "bar"}, options);
    EXPECT_EQ(result.out, banner() + c.out);
    EXPECT_EQ(result.exit_code, c.code);
    const struct stat after = status_of(path);
    EXPECT_EQ(after.st_size, c.size);
    EXPECT_EQ(after.st_blocks, before.st_blocks);
    EXPECT_EQ(bytes_at(path, at - 3, 13),
              std::string(3, '\0') + c.marker_after + std::string(3, '\0'));
    EXPECT_EQ(bytes_at(path, 0, 3), std::string(3, '\0'));
  }
}

// --- Not enough memory ----------------------------------------------------

// A run under a memory limit smaller than the file it must hold whole ends
// with the error table's message and errorlevel (3 for the target's image,
// 7 with its detail line for an -L text) and touches nothing. A 32-bit qk
// meets this for real with an -L text near the size limit. The target
// itself is read through a window of a few chunks, so its edit is done
// within the limit: the target case accepts the completed edit as well,
// and still never a crash or a torn file.
TEST(Memory, NotEnoughMemoryTouchesNothing) {
  if (const char* why = no_memory_limit()) GTEST_SKIP() << why;
  constexpr long kMemory = 256L << 20;
  constexpr off_t kSize = 320L << 20;
  constexpr off_t kAt = kSize - 100;
  struct MemoryCase {
    const char* what;
    std::vector<std::string> args;
    std::string out;  // after the banner
    int code;
    std::string streamed_out;  // "": no other outcome
  };
  const std::vector<MemoryCase> cases = {
      {"image of the target",
       {"BIG", "foo", "bar"},
       "\nERROR: Not enough memory to load file\n\n",
       3,
       "\nOK: 1 matches found\n"},
      {"-L search text",
       {"SMALL", "-L", "BIG", "bar"},
       "\nERROR: Could not load file for /L switch into memory\n"
       "       (Could not allocate memory for file: BIG)\n",
       7,
       ""},
      {"-L new text",
       {"SMALL", "foo", "-L", "BIG"},
       "\nERROR: Could not load file for /L switch into memory\n"
       "       (Could not allocate memory for file: BIG)\n",
       7,
       ""},
  };
  for (const MemoryCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    sparse_file(dir.file("BIG"), kSize, kAt, "x foo y");
    write_file(dir.file("SMALL"), "x foo y");
    const struct stat before = status_of(dir.file("BIG"));
    const std::set<std::string> files = entries(dir.path());
    RunOptions options;
    options.cwd = dir.path();
    options.limits = {{"memory", kMemory}};
    RunResult result = run_qk(c.args, options);

    const struct stat after = status_of(dir.file("BIG"));
    EXPECT_EQ(after.st_size, kSize);
    EXPECT_EQ(after.st_blocks, before.st_blocks);
    EXPECT_EQ(entries(dir.path()), files);
    EXPECT_EQ(read_file(dir.file("SMALL")), "x foo y");
    if (!c.streamed_out.empty() && result.exit_code == 0) {
      EXPECT_EQ(result.out, banner() + c.streamed_out);
      EXPECT_EQ(bytes_at(dir.file("BIG"), kAt, 7), "x bar y");
      continue;
    }
    EXPECT_EQ(result.out, banner() + c.out);
    EXPECT_EQ(result.exit_code, c.code);
    EXPECT_EQ(bytes_at(dir.file("BIG"), kAt, 7), "x foo y");
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  }

  // The same limit leaves room for an ordinary run.
  TempDir dir;
  write_file(dir.file("SMALL"), "x foo y");
  RunOptions options;
  options.cwd = dir.path();
  options.limits = {{"memory", kMemory}};
  RunResult result = run_qk({"SMALL", "foo", "bar"}, options);
  EXPECT_EQ(result.out, banner() + "\nOK: 1 matches found\n");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(read_file(dir.file("SMALL")), "x bar y");
}

}  // namespace
}  // namespace qk::test
