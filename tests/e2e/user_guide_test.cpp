// The worked examples of docs/user-guide.md, run as the guide shows them:
// every `sh` block through /bin/sh with the built qk first on the PATH, and
// the qk lines of every `bat` block with the batch file's quoting, each from
// fresh copies of the example's "before" files. The files they leave, and
// the output shown under "Output:", must be what the guide says.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "e2e/harness.h"

namespace qk::test {
namespace {

const std::string kGuide = std::string(QK_SOURCE_DIR) + "/docs/user-guide.md";

struct File {
  std::string name;
  std::string bytes;
};

struct Script {
  std::string lang;  // "sh" or "bat"
  std::string text;
  int line = 0;
  bool has_output = false;
  std::string output;
};

struct Example {
  std::string title;
  int line = 0;
  std::vector<File> before;
  std::vector<File> after;
  std::vector<Script> scripts;
  std::vector<std::string> problems;  // format errors found while parsing
};

std::string trace(const Example& e, int line) {
  return kGuide + ":" + std::to_string(line) + ": \"" + e.title + "\"";
}

// File contents are written with visible escapes; the block's own line
// breaks are not part of the file.
bool decode(const std::vector<std::string>& lines, std::string* bytes) {
  bytes->clear();
  for (const std::string& line : lines) {
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] != '\\') {
        *bytes += line[i];
        continue;
      }
      if (i + 1 >= line.size()) return false;
      char c = line[++i];
      if (c == 'r') {
        *bytes += '\r';
      } else if (c == 'n') {
        *bytes += '\n';
      } else if (c == 't') {
        *bytes += '\t';
      } else if (c == '\\') {
        *bytes += '\\';
      } else if (c == 'x' && i + 2 < line.size() && std::isxdigit(line[i + 1]) &&
                 std::isxdigit(line[i + 2])) {
        *bytes += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        return false;
      }
    }
  }
  return true;
}

// A label line "`name` before:" or "`name` after:"; returns the name.
bool file_label(const std::string& line, const std::string& when, std::string* name) {
  const std::string tail = "` " + when + ":";
  if (line.size() <= tail.size() + 1 || line[0] != '`') return false;
  if (line.compare(line.size() - tail.size(), tail.size(), tail) != 0) return false;
  *name = line.substr(1, line.size() - tail.size() - 1);
  return name->find('`') == std::string::npos;
}

// Every "### " section is one example; a section ends at the next heading.
std::vector<Example> parse_guide(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);

  std::vector<Example> examples;
  Example* current = nullptr;
  std::string label;  // the last non-blank line outside a block
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const int number = static_cast<int>(i) + 1;
    if (line.rfind("```", 0) == 0) {
      std::string info = line.substr(3);
      std::vector<std::string> body;
      size_t j = i + 1;
      while (j < lines.size() && lines[j].rfind("```", 0) != 0)
        body.push_back(lines[j++]);
      i = j;
      if (current == nullptr) {
        label.clear();
        continue;
      }
      std::string name;
      const bool before = file_label(label, "before", &name);
      if (before || file_label(label, "after", &name)) {
        File file{name, ""};
        if (!decode(body, &file.bytes))
          current->problems.push_back(trace(*current, number) + ": bad escape in " + name);
        (before ? current->before : current->after).push_back(file);
      } else if (label == "Output:") {
        std::string text;
        for (const std::string& b : body)
          text += b + "\n";
        if (current->scripts.empty() || current->scripts.back().has_output) {
          current->problems.push_back(trace(*current, number) + ": output without a script");
        } else {
          current->scripts.back().has_output = true;
          current->scripts.back().output = text;
        }
      } else if (info == "sh" || info == "bat") {
        Script script{info, "", number, false, ""};
        for (const std::string& b : body)
          script.text += b + "\n";
        current->scripts.push_back(script);
      } else {
        current->problems.push_back(trace(*current, number) + ": block without a label");
      }
      label.clear();
      continue;
    }
    if (line.rfind("#", 0) == 0) {
      current = nullptr;
      if (line.rfind("### ", 0) == 0) {
        examples.push_back(Example{line.substr(4), number, {}, {}, {}, {}});
        current = &examples.back();
      }
    }
    if (!line.empty()) label = line;
  }
  return examples;
}

// Runs a shell script in `dir` with the built qk first on the PATH; returns
// its standard output and error together, and its exit status.
RunResult run_shell(const std::string& script, const std::string& dir) {
  int out_pipe[2];
  if (pipe(out_pipe) != 0) throw std::runtime_error("pipe");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(out_pipe[1], 2);
    close(out_pipe[0]);
    close(out_pipe[1]);
    if (chdir(dir.c_str()) != 0) _exit(126);
    start_as_a_shell_would();
    std::string bin = QK_BINARY;
    bin = bin.substr(0, bin.rfind('/'));
    const char* path = std::getenv("PATH");
    setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out_pipe[1]);
  return collect_output(pid, out_pipe[0]);
}

// The guide leaves QK's banner line out of the outputs it shows.
std::string without_banners(const std::string& out) {
  std::istringstream in(out);
  std::string kept;
  for (std::string line; std::getline(in, line);)
    if (line.rfind("QK Utility v", 0) != 0) kept += line + "\n";
  return kept;
}

// Splits a batch command line as the Windows C runtime does for simple
// cases: at blanks outside double quotes, the quotes removed.
std::vector<std::string> batch_words(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false;
  bool any = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any) words.push_back(word);
  return words;
}

bool starts_with_word(const std::string& line, const std::string& word) {
  if (line.size() < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(line[i])) != word[i]) return false;
  return line.size() == word.size() || line[word.size()] == ' ';
}

// Runs the qk lines of a batch script, with the variables its SET lines set;
// the other lines (IF, ECHO, GOTO, ...) only test the errorlevel.
int run_batch(const std::string& script, const std::string& dir) {
  RunOptions options;
  options.cwd = dir;
  std::istringstream in(script);
  int runs = 0;
  for (std::string line; std::getline(in, line);) {
    if (starts_with_word(line, "SET")) {
      std::string assignment = line.substr(4);
      size_t eq = assignment.find('=');
      if (eq != std::string::npos)
        options.env.emplace_back(assignment.substr(0, eq), assignment.substr(eq + 1));
    } else if (starts_with_word(line, "QK")) {
      std::vector<std::string> args = batch_words(line);
      args.erase(args.begin());
      run_qk(args, options);
      ++runs;
    }
  }
  return runs;
}

void write_before(const Example& e, const TempDir& dir) {
  for (const File& f : e.before)
    write_file(dir.file(f.name), f.bytes);
}

void expect_after(const Example& e, const TempDir& dir, const std::string& where) {
  for (const File& f : e.after) {
    // A target that qk created has the name qk gave it.
    std::string name = file_exists(dir.file(f.name)) ? f.name : shown_name(f.name);
    EXPECT_EQ(read_file(dir.file(name)), f.bytes) << where << ": " << f.name;
  }
}

TEST(UserGuide, HoldsTheWorkedExamples) {
  const std::vector<Example> examples = parse_guide(kGuide);
  ASSERT_GE(examples.size(), 12u) << kGuide << " could not be read or lost its examples";
  for (const Example& e : examples) {
    const std::string where = trace(e, e.line);
    for (const std::string& problem : e.problems)
      ADD_FAILURE() << problem;
    EXPECT_FALSE(e.after.empty()) << where << ": no \"after:\" file";
    int shells = 0;
    for (const Script& s : e.scripts)
      shells += s.lang == "sh";
    EXPECT_GE(shells, 1) << where << ": no sh block";
  }
}

TEST(UserGuide, ShellExamplesLeaveTheFilesAndOutputShown) {
  for (const Example& e : parse_guide(kGuide)) {
    for (const Script& s : e.scripts) {
      if (s.lang != "sh") continue;
      const std::string where = trace(e, s.line);
      TempDir dir;
      write_before(e, dir);
      RunResult result = run_shell(s.text, dir.path());
      EXPECT_EQ(result.exit_code, 0) << where << "\n" << result.out;
      if (s.has_output) {
        EXPECT_EQ(without_banners(result.out), s.output) << where;
      }
      expect_after(e, dir, where);
    }
  }
}

TEST(UserGuide, BatchExamplesLeaveTheFilesShown) {
  for (const Example& e : parse_guide(kGuide)) {
    for (const Script& s : e.scripts) {
      if (s.lang != "bat") continue;
      const std::string where = trace(e, s.line);
      TempDir dir;
      write_before(e, dir);
      EXPECT_GE(run_batch(s.text, dir.path()), 1) << where << ": no qk line";
      expect_after(e, dir, where);
    }
  }
}

// The parser itself, on the conventions the guide documents.
TEST(UserGuide, ReadsEscapesAndBatchQuoting) {
  struct Case {
    std::vector<std::string> lines;
    bool ok;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {{"a\\r\\n", "b"}, true, "a\r\nb"},
      {{"tab\\there", "\\\\x"}, true, "tab\there\\x"},
      {{"\\x00\\x7f\\xFF"}, true, std::string("\0\x7f\xff", 3)},
      {{"line without escapes", ""}, true, "line without escapes"},
      {{"bad \\q"}, false, ""},
      {{"trailing \\"}, false, ""},
      {{"short \\x4"}, false, ""},
  };
  for (const Case& c : cases) {
    std::string bytes;
    EXPECT_EQ(decode(c.lines, &bytes), c.ok) << c.lines[0];
    if (c.ok) {
      EXPECT_EQ(bytes, c.bytes) << c.lines[0];
    }
  }
  const std::vector<std::pair<std::string, std::vector<std::string>>> words = {
      {"qk f \"#!\" \"\" -D", {"qk", "f", "#!", "", "-D"}},
      {"qk  f  \"a b\"c", {"qk", "f", "a bc"}},
      {"qk f \"[server]\" \"timeout=30\"", {"qk", "f", "[server]", "timeout=30"}},
  };
  for (const auto& [line, expected] : words)
    EXPECT_EQ(batch_words(line), expected) << line;
}

}  // namespace
}  // namespace qk::test
