// Reads and validates a command line into a fresh run, for the tests of the
// command line and of the text sources.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cmdline/command_line.h"

namespace qk::test {

using Args = std::vector<std::string>;

// `repair_quotes`: read the arguments as a Windows build does.
inline std::unique_ptr<Run> parse(const Args& args, bool repair_quotes = false) {
  auto run = std::make_unique<Run>();
  run->parse.repair_quotes = repair_quotes;
  std::vector<const char*> argv{"QK"};
  for (const std::string& arg : args)
    argv.push_back(arg.c_str());
  read_command_line(*run, static_cast<int>(argv.size()), argv.data());
  validate_command_line(*run);
  return run;
}

}  // namespace qk::test
