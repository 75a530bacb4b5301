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
  long peak_kib = 0;  // peak resident memory (of the runner too, under one)
};

struct RunOptions {
  std::string cwd;                                       // default: current directory
  std::string input;                                     // standard input
  std::vector<std::pair<std::string, std::string>> env;  // added variables
  // "fsize": RLIMIT_FSIZE. "cpu": RLIMIT_CPU, in seconds. "memory": the
  // address space qk may use, see no_memory_limit().
  std::vector<std::pair<std::string, long>> limits;
  bool drop_privileges = false;  // run as nobody (uid 65534)
  int uid = -1;                  // run as this user and group (root only)
  std::string cgroup;            // a cgroup (v1) folder qk is started in
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

// A memory cgroup (v1) of `limit` bytes for the runs of one test, removed
// with the object; path() is empty where none can be made (no root, no
// memory controller, a Windows build).
class MemoryCgroup {
 public:
  explicit MemoryCgroup(long limit);
  ~MemoryCgroup();
  MemoryCgroup(const MemoryCgroup&) = delete;
  MemoryCgroup& operator=(const MemoryCgroup&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Killing runs. A run is killed with SIGKILL just before the n-th file
// call the fault shim counts, in the middle of it (a write is made in
// part, another call whole), or after a delay; then qk runs once more on
// the target, with a search text it holds nowhere, and puts back what the
// killed run left.
struct Kill {
  enum When { kBeforeCall, kInsideCall, kAfterDelay } when;
  long at;  // the call's number, or the delay in microseconds
};

struct KillOutcome {
  int killed_exit = 0;              // of the killed run (137 when it was killed)
  bool journal_after_kill = false;  // the killed run left a journal
  RunResult recovery;               // the next run
  std::string target;               // the target after the next run
  bool journal_left = false;        // a journal after the next run
};

// Kills one run of `args` on a target "f" holding `before`, in a fresh
// directory; `env` is added to both runs.
KillOutcome kill_and_recover(const std::vector<std::string>& args, const std::string& before,
                             const Kill& kill,
                             const std::vector<std::pair<std::string, std::string>>& env = {});

// The environment that preloads the fault shim into qk.
std::vector<std::pair<std::string, std::string>> fault_shim_env();

// The journal a run keeps of the file at `path`: beside it, named after
// the file's inode number.
std::string journal_of(const std::string& path);

// The names in `folder` that belong to a journal, made or being made.
std::vector<std::string> journals_in(const std::string& folder);

// The folder of journals of this user's own that the runs of the tests
// use (XDG_STATE_HOME is set for them, unless a test sets it).
std::string own_journal_folder();

// The lines of a text that are not empty.
std::vector<std::string> lines_of(const std::string& text);

// Runs `args` in `dir` with the fault shim logging, and returns the file
// calls it counted, one a line ("open", "write journal", ...); `env` is
// added, and `result` gets the run's result.
std::vector<std::string> calls_of(const std::vector<std::string>& args, const std::string& dir,
                                  const std::vector<std::pair<std::string, std::string>>& env = {},
                                  RunResult* result = nullptr);

// Runs `args` in `dir` with the fault shim, and returns every write qk
// made, one a line: "target OFFSET SIZE" for the target (or output file),
// "journal OFFSET SIZE" for its restore journal.
std::vector<std::string> writes_of(const std::vector<std::string>& args, const std::string& dir,
                                   const std::vector<std::pair<std::string, std::string>>& env = {},
                                   RunResult* result = nullptr);

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
