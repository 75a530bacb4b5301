// libFuzzer target for the command line: the input is an argument vector
// (up to 130 arguments separated by NUL bytes), read and validated on a
// fresh run exactly as the driver does before it touches the target file.
// Any crash, sanitizer report or leak in the argument loop, the switch
// families, the text sources or the validation steps shows up here.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cmdline/command_line.h"
#include "state/run.h"

namespace {

FILE* g_console = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A -P in an input must never wait for a key, and nothing the runs print
  // should slow the fuzzer down.
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
  g_console = std::fopen("/dev/null", "w");
  // -E looks names up in the environment: give it a few to find, one of
  // them far longer than a text slot.
  setenv("QK_SHORT", "abc", 1);
  setenv("QK_LONG", std::string(5000, 'x').c_str(), 1);
  setenv("qk_lower", "-dash", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args{"qk"};
  std::string current;
  for (size_t i = 0; i < size && args.size() < 130; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (args.size() < 130 && !current.empty()) args.push_back(current);

  std::vector<const char*> argv;
  for (const std::string& arg : args)
    argv.push_back(arg.c_str());
  argv.push_back(nullptr);

  qk::Run run;
  run.console = g_console;
  qk::read_command_line(run, static_cast<int>(args.size()), argv.data());
  qk::validate_command_line(run);
  return 0;
}
