// Interrupts while the target is rewritten. SIGINT, SIGTERM, SIGHUP and the
// other signals that end a process are held from the first write to the
// last cut and take effect afterwards, so an interrupted run leaves the
// target either as it was or completely edited, never torn. One test raises each signal at a known
// point inside the write phase (through the fault shim); the other sends signals at random moments
// to runs that rewrite a 64 MiB file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include <chrono>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace qk::test {
namespace {

// Every signal that ends a process by default and can be held back: what a
// user, a shell, a pipe, a CPU limit or another program may send.
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXCPU, SIGUSR1, SIGALRM};

std::string lines(int count) {
  std::string text;
  text.reserve(static_cast<size_t>(count) * 32);
  for (int i = 0; i < count; ++i)
    text += "line " + std::to_string(i) + " of the big file\r\n";
  return text;
}

// Whole-file comparison without building a second 64 MiB string.
bool holds(const std::string& path, const std::string& expected) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  std::vector<char> chunk(1 << 20);
  size_t done = 0;
  bool same = true;
  for (;;) {
    ssize_t n = read(fd, chunk.data(), chunk.size());
    if (n <= 0) break;
    const size_t got = static_cast<size_t>(n);
    if (done + got > expected.size() ||
        std::memcmp(chunk.data(), expected.data() + done, got) != 0) {
      same = false;
      break;
    }
    done += got;
  }
  close(fd);
  return same && done == expected.size();
}

TEST(Interrupts, SignalInsideTheWritePhaseWaitsForTheWholeFile) {
  if (on_windows_build()) GTEST_SKIP() << "POSIX signals; Windows has console control events";
  if (const char* why = no_fault_shim()) GTEST_SKIP() << why;
  // Growing, shrinking and same-length edits of a file with many matches:
  // the signal is raised just before the first write to the target and
  // before the call after it, and must end the run only once the result is
  // complete.
  struct Case {
    std::vector<std::string> args;
    std::string (*edit)(std::string);
  };
  const std::string text = lines(20000);
  const Case cases[] = {
      {{"f", "big", "enormous"},
       [](std::string s) {
         for (size_t at = s.find("big"); at != std::string::npos; at = s.find("big", at + 8))
           s.replace(at, 3, "enormous");
         return s;
       }},
      {{"f", "line", "l"},
       [](std::string s) {
         for (size_t at = s.find("line"); at != std::string::npos; at = s.find("line", at + 1))
           s.replace(at, 4, "l");
         return s;
       }},
      {{"f", "file", "FILE", "-~"},
       [](std::string s) {
         for (size_t at = s.find("file"); at != std::string::npos; at = s.find("file", at + 4))
           s.replace(at, 4, "FILE");
         return s;
       }},
  };
  for (const Case& c : cases) {
    const std::string expected = c.edit(text);
    // The first write to the target, and the call after it.
    size_t first_write = 0;
    {
      TempDir dir;
      write_file(dir.file("f"), text);
      const std::vector<std::string> calls = calls_of(c.args, dir.path());
      while (first_write < calls.size() && calls[first_write] != "write")
        ++first_write;
      ASSERT_LT(first_write + 1, calls.size());
    }
    for (int sig : kSignals) {
      for (const size_t n : {first_write + 1, first_write + 2}) {
        const std::string call = std::to_string(n);
        SCOPED_TRACE(c.args[1] + " signal " + std::to_string(sig) + " at call " + call);
        TempDir dir;
        write_file(dir.file("f"), text);
        RunOptions options;
        options.cwd = dir.path();
        options.env = {{"LD_PRELOAD", QK_FAULT_SHIM},
                       {"ASAN_OPTIONS", "verify_asan_link_order=0"},
                       {"QK_SIGNAL_CALL", call},
                       {"QK_SIGNAL", std::to_string(sig)}};
        RunResult result = run_qk(c.args, options);
        EXPECT_EQ(result.exit_code, 128 + sig);
        EXPECT_TRUE(holds(dir.file("f"), expected)) << "target not complete";
      }
    }
  }
}

TEST(Interrupts, RandomSignalsNeverTearTheTarget) {
  if (on_windows_build()) GTEST_SKIP() << "POSIX signals; Windows has console control events";
  // "x" at the very start grows by one byte, so every byte of the 64 MiB
  // file is written again.
  std::string original = "x" + lines(2 << 20);
  original.resize(64 << 20);
  const std::string expected = "xy" + original.substr(1);

  // One undisturbed run tells how long a run lasts, so that the signals
  // land before, during and after its write phase.
  TempDir first;
  write_file(first.file("f"), original);
  RunOptions plain;
  plain.cwd = first.path();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(run_qk({"f", "x", "xy", "-#:1"}, plain).exit_code, 0);
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
  ASSERT_TRUE(holds(first.file("f"), expected));

  std::mt19937 random(20260);
  std::uniform_int_distribution<long> moment(0, took + took / 4);
  int complete = 0;
  int untouched = 0;
  for (int i = 0; i < 30; ++i) {
    const int sig = kSignals[static_cast<size_t>(i) % std::size(kSignals)];
    const long delay = moment(random);
    SCOPED_TRACE("signal " + std::to_string(sig) + " after " + std::to_string(delay) + " us");
    TempDir dir;
    write_file(dir.file("f"), original);
    RunOptions options;
    options.cwd = dir.path();
    options.while_running = [sig, delay](int pid) {
      usleep(static_cast<useconds_t>(delay));
      kill(pid, sig);
    };
    RunResult result = run_qk({"f", "x", "xy", "-#:1"}, options);
    const bool is_complete = holds(dir.file("f"), expected);
    const bool is_original = !is_complete && holds(dir.file("f"), original);
    EXPECT_TRUE(is_complete || is_original) << "torn target, exit " << result.exit_code;
    // A run that ended by the signal with its edit done had the signal
    // held; one that ended normally must have finished its edit.
    if (result.exit_code == 0) {
      EXPECT_TRUE(is_complete);
    } else {
      EXPECT_EQ(result.exit_code, 128 + sig);
    }
    complete += is_complete;
    untouched += is_original;
  }
  RecordProperty("complete", complete);
  RecordProperty("untouched", untouched);
}

}  // namespace
}  // namespace qk::test
