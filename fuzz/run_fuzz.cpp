// libFuzzer target for whole runs: the input holds a few arguments and the
// contents of the target file, and QK runs on them in-process inside a
// scratch directory, once in place, once with -~ and once writing to an
// output file with -$. Beyond crashes and sanitizer reports it checks what
// a user relies on: the three ways of writing give the same bytes, and a
// run that did not finish leaves the target as it was.
//
// Input layout: byte 0 modulo 13 is the number of arguments, which follow
// as NUL-terminated strings; every remaining byte is the target file "f".
// A '/' in an argument becomes '-' (the other switch prefix), so no input
// can name a path outside the scratch directory.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "state/run.h"

namespace {

FILE* g_console = nullptr;
std::string g_dir;
std::string g_home;

void write_file(const std::string& name, const std::string& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

// Every run starts from the same directory: the target and two -L files,
// one that fits a text slot and one that does not.
void reset_directory(const std::string& target) {
  if (DIR* dir = opendir(".")) {
    while (dirent* entry = readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
        unlink(entry->d_name);
    }
    closedir(dir);
  }
  write_file("f", target);
  write_file("s", "b@");
  std::string large;
  for (int i = 0; i < 80; ++i)
    large += "ab\r\n";
  write_file("l", large);
}

struct Outcome {
  int exit_code = 0;
  int32_t scan_status = 0;
  bool report_only = false;
  bool appended_switch = false;  // the extra switches took effect
  char output_mode = 0;
  bool m_without_edits = false;  // -M that edited nothing keeps the target
  std::string target;
  std::string output;
};

Outcome run_once(const std::vector<std::string>& args, const std::string& target,
                 const std::vector<std::string>& extra) {
  reset_directory(target);
  // The extra switches go first, where no pending -G, -E or -$ of the
  // input can turn them into texts.
  std::vector<const char*> argv{"qk", "f"};
  for (const std::string& arg : extra)
    argv.push_back(arg.c_str());
  for (const std::string& arg : args)
    argv.push_back(arg.c_str());
  argv.push_back(nullptr);

  Outcome o;
  {
    qk::Run run;
    run.console = g_console;
    o.exit_code = qk::run_qk(run, static_cast<int>(argv.size() - 1), argv.data());
    o.scan_status = run.counts.scan_status;
    const char mode = run.settings.selection_mode;
    o.report_only = run.settings.selection && (mode == '0' || mode == 'R');
    o.output_mode = run.settings.output_mode;
    o.m_without_edits = run.settings.line_filter == 'M' && run.counts.acted == 0;
    if (extra.empty()) {
      o.appended_switch = true;
    } else if (extra[0] == "-~") {
      o.appended_switch = run.settings.full_writing == '~' && run.settings.output_mode == 0;
    } else {
      o.appended_switch =
          run.settings.output_mode == '$' && std::strcmp(run.texts.slots.output_name, "o") == 0;
    }
  }
  o.target = read_file("f");
  o.output = read_file("o");
  return o;
}

[[noreturn]] void fail(const char* what, const std::vector<std::string>& args) {
  std::fprintf(stderr, "invariant broken: %s\nargs:", what);
  for (const std::string& arg : args)
    std::fprintf(stderr, " [%s]", arg.c_str());
  std::fprintf(stderr, "\n");
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
  g_console = std::fopen("/dev/null", "w");
  // -E may name variables; none of them may point outside the scratch
  // directory, so the environment is replaced by a known one.
  clearenv();
  setenv("QK_SHORT", "abc", 1);
  setenv("QK_LONG", std::string(5000, 'x').c_str(), 1);
  setenv("NEWTEXT", "n&n", 1);
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd)) g_home = cwd;
  char pattern[] = "/tmp/qk-run-fuzz-XXXXXX";
  if (!mkdtemp(pattern)) std::abort();
  g_dir = pattern;
  // libFuzzer ends with exit(), so the scratch directory goes then.
  std::atexit([] {
    if (chdir(g_dir.c_str()) == 0) reset_directory("");
    unlink("f");
    unlink("s");
    unlink("l");
    if (chdir("/") == 0) rmdir(g_dir.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t count = data[0] % 13;
  size_t i = 1;
  std::vector<std::string> args;
  while (args.size() < count && i < size) {
    std::string arg;
    while (i < size && data[i] != 0) {
      arg.push_back(data[i] == '/' ? '-' : static_cast<char>(data[i]));
      ++i;
    }
    ++i;  // the NUL
    args.push_back(arg);
  }
  const std::string original =
      i < size ? std::string(reinterpret_cast<const char*>(data) + i, size - i) : std::string();

  if (chdir(g_dir.c_str()) != 0) std::abort();
  const Outcome in_place = run_once(args, original, {});
  // A run that did not finish must leave the target alone (-7 is the
  // reload of an -L file failing part way through the scan).
  if (in_place.scan_status != 1 && in_place.scan_status != 0 && in_place.scan_status != -7 &&
      in_place.target != original)
    fail("a failed run changed the target", args);
  if (!in_place.report_only && in_place.output_mode == 0 &&
      (in_place.scan_status == -14 || in_place.scan_status == -20))
    fail("a write fault without any fault", args);

  // An input that names its own output file, or a run that did not finish,
  // has nothing to compare.
  if (in_place.scan_status == 1 && !in_place.report_only && in_place.output_mode == 0) {
    const Outcome full = run_once(args, original, {"-~"});
    if (full.appended_switch && full.scan_status == 1 && full.target != in_place.target)
      fail("-~ wrote other bytes than intelligent writing", args);
    const Outcome copy = run_once(args, original, {"-$", "o"});
    if (copy.appended_switch && copy.scan_status == 1 && !in_place.m_without_edits) {
      if (copy.output != in_place.target) fail("-$ wrote other bytes than the in-place run", args);
      if (copy.target != original) fail("-$ changed the target", args);
    }
  }
  if (chdir(g_home.c_str()) != 0) std::abort();
  return 0;
}
