// libFuzzer target for whole runs: the input holds a few arguments and the
// contents of the target file, and QK runs on them in-process inside a
// scratch directory, once in place, once with -~ and once writing to an
// output file with -$. Beyond crashes and sanitizer reports it checks what
// a user relies on: the three ways of writing give the same bytes, and a
// run that did not finish leaves the target as it was.
//
// Every run must also end within a step budget (one find per image byte,
// plus the -#:L repeat and the last, empty find), its output must stay
// within what the input and the edits can make, and after an in-place run
// the file's length must be the "Bytes written" of the report.
//
// A structured input also runs on its file with every line break a CR LF
// and with every one a bare line feed: the two must give the same exit
// code, and results that differ only in their line breaks.
//
// Two input layouts, chosen by bit 7 of byte 0:
// - raw: byte 0 modulo 13 is the number of arguments, which follow as
//   NUL-terminated strings; every remaining byte is the target file "f".
//   A '/' in an argument becomes '-', so no input can name a path outside
//   the scratch directory.
// - structured: the bytes are choices. They pick a search text (often made
//   of anchors and wildcards only), a new text, switches from the whole
//   table with their sub-options, and a file of CR LF, bare LF, bare CR,
//   empty lines, NUL and high bytes, so that every input is a run that
//   reaches deep into the engine.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "state/run.h"

namespace {

FILE* g_console = nullptr;
std::string g_dir;
std::string g_home;
std::string g_original;  // the target of the input being run, for reports

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

// Reads the structured layout: each call takes one byte; past the end of
// the input every choice is 0.
class Choices {
 public:
  Choices(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  int below(int n) { return next() % n; }
  bool chance(int percent) { return below(100) < percent; }
  template <size_t N>
  const char* pick(const char* const (&from)[N]) {
    return from[below(static_cast<int>(N))];
  }
  std::string text(const char* alphabet, int max_length) {
    std::string s;
    const int length = static_cast<int>(std::strlen(alphabet));
    for (int i = below(max_length + 1); i > 0; --i)
      s += alphabet[below(length)];
    return s;
  }

 private:
  int next() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  const uint8_t* data_;
  size_t size_;
};

struct Structured {
  std::vector<std::string> args;
  std::string target;
};

Structured structured_input(const uint8_t* data, size_t size) {
  Choices c(data, size);
  Structured in;
  static const char* const kPieces[] = {"a",  "b",  "A",        "x",    " ",    "\r\n", "\r\n",
                                        "\n", "\r", "\r\n\r\n", "\n\n", "@",    "#",    "!",
                                        "&",  "ab", "ba",       "xyz",  "\xe9", "\xff"};
  const int shape = c.below(8);
  if (shape == 1) {
    in.target = c.pick(kPieces);
    in.target.resize(1);
  } else if (shape != 0) {
    for (int i = c.below(40); i > 0; --i)
      in.target += c.chance(5) ? std::string(1, '\0') : std::string(c.pick(kPieces));
  }

  static const char* const kBareSearches[] = {"#", "!", "#!", "@", "#@!", "@@", "#@", "@!", "#a!"};
  if (c.chance(40)) {
    in.args.push_back(c.pick(kBareSearches));
  } else {
    std::string search = c.text("abAB@x\r\n &#!", 4);
    if (search.empty()) search = "a";
    if (c.chance(20)) search = "#" + search;
    if (c.chance(20)) search += "!";
    if (c.chance(5)) in.args.push_back("-L"), search = c.chance(50) ? "s" : "l";
    in.args.push_back(search);
  }
  if (c.chance(85)) {
    if (c.chance(5)) {
      in.args.push_back("-L");
      in.args.push_back(c.chance(50) ? "s" : "l");
    } else if (c.chance(5)) {
      in.args.push_back("-E");
      in.args.push_back("NEWTEXT");
    } else {
      in.args.push_back(c.text("xyXY&b@|qz'", 5));
    }
  }

  static const char* const kLines[] = {"-D", "-D:P", "-D:L", "-D:R"};
  static const char* const kSelections[] = {"-#:O", "-#:E", "-#:L", "-#:I",   "-#:J",
                                            "-#:0", "-#:R", "-#:2", "-#:1,3", "-#:2,4,9"};
  static const char* const kSpecials[] = {"-K:1x",    "-K:6|",    "-K:9z",       "-K:Hq",
                                          "-K:0q,RM", "-K:1x,RM", "-K:6|,1x,RM", "-K:2x,Cq,Lb"};
  static const char* const kAdds[] = {"-B", "-T", "-B:C", "-T:C"};
  static const char* const kCharacters[] = {"-1", "-2", "-3", "-4", "-1:?", "-2:%", "-3:^", "-4:$"};
  static const char* const kOthers[] = {"-C",   "-A",   "-I",    "-U", "-M",    "-X",
                                        "-O",   "-N",   "-N:46", "-W", "-W:46", "-&",
                                        "-&:U", "-&:L", "-'",    "-%", "-V:3",  "-V:0"};
  struct Family {
    const char* const* switches;
    size_t count;
  };
  static const Family kFamilies[] = {
      {kLines, std::size(kLines)},           {kSelections, std::size(kSelections)},
      {kSpecials, std::size(kSpecials)},     {kAdds, std::size(kAdds)},
      {kCharacters, std::size(kCharacters)}, {kOthers, std::size(kOthers)},
  };
  for (int i = c.below(7); i > 0; --i) {
    const Family& family = kFamilies[c.below(static_cast<int>(std::size(kFamilies)))];
    in.args.push_back(family.switches[c.below(static_cast<int>(family.count))]);
  }
  return in;
}

[[noreturn]] void fail(const char* what, const std::vector<std::string>& args) {
  std::fprintf(stderr, "invariant broken: %s\nargs:", what);
  for (const std::string& arg : args)
    std::fprintf(stderr, " [%s]", arg.c_str());
  std::fprintf(stderr, "\ntarget (%zu bytes):", g_original.size());
  for (unsigned char byte : g_original)
    std::fprintf(stderr, " %02x", byte);
  std::fprintf(stderr, "\n");
  std::abort();
}

struct Outcome {
  int exit_code = 0;
  int32_t scan_status = 0;
  bool report_only = false;
  bool appended_switch = false;  // the extra switches took effect
  char output_mode = 0;
  bool m_without_edits = false;  // -M that edited nothing keeps the target
  int64_t finds = 0;
  int64_t image_size = 0;
  int64_t bytes_written = 0;
  int64_t acted = 0;
  int64_t most_per_edit = 0;  // the most bytes one edit can write
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
    o.finds = run.counts.finds;
    o.image_size = run.image.size();
    o.bytes_written = run.writer.bytes_written;
    o.acted = run.counts.acted;
    // The new text (each byte at most a CR LF), every '&' of it standing
    // for at most a whole line or the search text, and the line or the
    // search text itself beside it (-A, -I, -B, -T).
    const int64_t most_per_amp = o.image_size + run.texts.search_len + 4;
    o.most_per_edit = 2 * (run.texts.new_len + 1) * most_per_amp + most_per_amp;
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

// What every run must satisfy, however it was written.
void check_bounds(const Outcome& o, const std::string& original,
                  const std::vector<std::string>& args) {
  if (o.finds > o.image_size + 3) fail("the scan made more finds than the image has bytes", args);
  // A run that stops before loading leaves the file as it was.
  const int64_t bound = static_cast<int64_t>(original.size()) + (o.acted + 1) * o.most_per_edit;
  if (static_cast<int64_t>(o.target.size()) > bound ||
      static_cast<int64_t>(o.output.size()) > bound)
    fail("the output outgrew what the edits can make", args);
}

// Whether the CR LF and the bare line feed forms of a file must give the
// same results for `args`. Not where a byte count sees the extra CR (-N
// pads to the consumed length, -O overwrites as many bytes as the text is
// longer), nor where a search text could match a line break's own bytes
// (a CR or LF in it, a wildcard, an -L file).
bool compares_line_breaks(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-L" || arg == "-O" || arg.rfind("-N", 0) == 0) return false;
    const bool is_search = i == 0 && arg[0] != '-';
    if (is_search && arg.find_first_of("@\r\n") != std::string::npos) return false;
  }
  return true;
}

// Each CR LF made a bare line feed; false when the text holds a CR or a line
// feed outside a CR LF pair.
bool bare_breaks(const std::string& text, std::string* bare) {
  bare->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      if (i + 1 == text.size() || text[i + 1] != '\n') return false;
      continue;
    }
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
    *bare += text[i];
  }
  return true;
}

// Runs `args` on the file's line-feed form and on its CR LF form (the
// file's CRs dropped first, so that neither holds a lone CR).
void check_line_break_kinds(const std::vector<std::string>& args, const std::string& original) {
  std::string lf;
  for (char byte : original)
    if (byte != '\r') lf += byte;
  if (lf.find('\n') == std::string::npos) return;  // no break: both write CR LF
  std::string crlf;
  for (char byte : lf)
    crlf += byte == '\n' ? std::string("\r\n") : std::string(1, byte);
  const Outcome with_lf = run_once(args, lf, {});
  const Outcome with_crlf = run_once(args, crlf, {});
  if (with_lf.exit_code != with_crlf.exit_code || with_lf.scan_status != with_crlf.scan_status)
    fail("a file in CR LF and the same file in bare line feeds end differently", args);
  // -U with -D:R consumes two bytes behind the match, which can split a
  // CR LF pair; such a result has no bare line feed form to compare.
  std::string bare;
  if (bare_breaks(with_crlf.target, &bare) && bare != with_lf.target)
    fail("a file in bare line feeds is not edited as the same file in CR LF", args);
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
  std::vector<std::string> args;
  std::string original;
  const bool structured = data[0] & 0x80;
  if (structured) {
    Structured in = structured_input(data + 1, size - 1);
    args = std::move(in.args);
    original = std::move(in.target);
  } else {
    const size_t count = data[0] % 13;
    size_t i = 1;
    while (args.size() < count && i < size) {
      std::string arg;
      while (i < size && data[i] != 0) {
        arg.push_back(data[i] == '/' ? '-' : static_cast<char>(data[i]));
        ++i;
      }
      ++i;  // the NUL
      args.push_back(arg);
    }
    if (i < size) original.assign(reinterpret_cast<const char*>(data) + i, size - i);
  }

  g_original = original;
  if (chdir(g_dir.c_str()) != 0) std::abort();
  const Outcome in_place = run_once(args, original, {});
  check_bounds(in_place, original, args);
  // A run that did not finish must leave the target alone (-7 is the
  // reload of an -L file failing part way through the scan).
  if (in_place.scan_status != 1 && in_place.scan_status != 0 && in_place.scan_status != -7 &&
      in_place.target != original)
    fail("a failed run changed the target", args);
  if (!in_place.report_only && in_place.output_mode == 0 &&
      (in_place.scan_status == -14 || in_place.scan_status == -20))
    fail("a write fault without any fault", args);
  if (in_place.scan_status == 1 && in_place.output_mode == 0 &&
      static_cast<int64_t>(in_place.target.size()) != in_place.bytes_written)
    fail("the report's bytes written differ from the file's length", args);

  // An input that names its own output file, or a run that did not finish,
  // has nothing to compare.
  if (in_place.scan_status == 1 && !in_place.report_only && in_place.output_mode == 0) {
    const Outcome full = run_once(args, original, {"-~"});
    check_bounds(full, original, args);
    if (full.appended_switch && full.scan_status == 1 && full.target != in_place.target)
      fail("-~ wrote other bytes than intelligent writing", args);
    const Outcome copy = run_once(args, original, {"-$", "o"});
    check_bounds(copy, original, args);
    if (copy.appended_switch && copy.scan_status == 1 && !in_place.m_without_edits) {
      if (copy.output != in_place.target) fail("-$ wrote other bytes than the in-place run", args);
      if (copy.target != original) fail("-$ changed the target", args);
    }
  }
  if (structured && compares_line_breaks(args)) check_line_break_kinds(args, original);
  if (chdir(g_home.c_str()) != 0) std::abort();
  return 0;
}
