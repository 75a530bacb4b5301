// Runs the built qk binary as a user would: in a working directory, with
// given arguments, environment additions and standard input, and collects
// its standard output and exit code.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace qk::test {

struct RunResult {
  std::string out;  // everything qk printed to standard output
  int exit_code = -1;
};

struct RunOptions {
  std::string cwd;                                       // default: current directory
  std::string input;                                     // standard input
  std::vector<std::pair<std::string, std::string>> env;  // added variables
  // "fsize": RLIMIT_FSIZE. "cpu": RLIMIT_CPU, in seconds. "memory": the
  // address space qk may use, see no_memory_limit().
  std::vector<std::pair<std::string, long>> limits;
  bool drop_privileges = false;  // run as nobody (uid 65534)
  // Called with qk's process id as soon as it has started, before its
  // input is written; run_qk still waits for it afterwards (signal tests).
  std::function<void(int pid)> while_running;
};

// Reads a child's output to its end, closes the pipe and waits for it.
RunResult collect_output(int pid, int out_fd);

RunResult run_qk(const std::vector<std::string>& args, const RunOptions& options = {});

// The same suite also runs against other builds: QK_TEST_BINARY names
// another qk and QK_TEST_RUNNER the program that starts it: Wine for the
// Windows qk.exe, qemu-i386 for the static 32-bit Linux qk. Everything
// that differs between the builds is answered here.
//
// True when the qk under test is a Windows build.
bool on_windows_build();

// In a forked child: default signal actions and nothing blocked, as a
// user's shell starts a program (the test process itself may differ).
void start_as_a_shell_would();

// True when the runner is a user-mode emulator (qemu-i386): the process the
// tests start and signal is the emulator, which runs qk's code inside it.
bool under_emulation();

// Why the fault shim (tests/faults) cannot be preloaded into the qk under
// test, or nullptr when it can.
const char* no_fault_shim();

// Why a write fault cannot be provoked with the "fsize" limit for the qk
// under test, or nullptr when it can.
const char* no_file_size_limit();

// Why the "memory" limit cannot be set for the qk under test, or nullptr
// when it can. A native qk gets it as RLIMIT_AS; under the emulator it is
// the size of the 32-bit guest's whole address space (QEMU_RESERVED_VA),
// which also counts the 128 MiB below the start of an i386 program.
const char* no_memory_limit();

// A target file's name as qk uses it, in messages and for a target it
// creates: file names are case-insensitive on Windows, where QK
// upper-cases the target's name.
std::string shown_name(const std::string& name);

// One run on a target file "f" in a fresh directory: its content before
// and after, the output after the banner and the exit code.
struct FileCase {
  std::string before;
  std::vector<std::string> args;  // after the program name; "{dir}" is the directory
  std::string after;
  std::string out;  // standard output after the banner
  int code;
};

// Runs every case and checks file, output and exit code.
// What every case of a table finds besides "f": more files and variables.
struct CaseSetup {
  std::vector<std::pair<std::string, std::string>> files;  // name, content
  std::vector<std::pair<std::string, std::string>> env;
  std::vector<std::pair<std::string, long>> limits;
};

void expect_cases(const std::vector<FileCase>& cases, const CaseSetup& setup = {});

// The banner line that starts every non-silent run.
std::string banner();

// The lines under the message of a bad switch; they name the switch
// prefixes, '-' and on Windows also '/'.
std::string switch_hint();

// Splits a command line at spaces (no quoting); handy for tables of cases.
std::vector<std::string> words(const std::string& line);

}  // namespace qk::test
