// The manual page docs/qk.1: it renders without a single groff warning, and
// its OPTIONS section has an entry for every switch the built qk's help
// pages name, so the two cannot drift apart.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace qk::test {
namespace {

const std::string kManPage = std::string(QK_SOURCE_DIR) + "/docs/qk.1";

struct Captured {
  std::string text;
  int status = -1;
};

Captured capture(const std::string& command) {
  Captured result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
    result.text.append(buffer, n);
  result.status = pclose(pipe);
  return result;
}

bool have_groff() {
  return capture("command -v groff >/dev/null 2>&1").status == 0;
}

bool is_switch_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string("#$~&'?%").find(c) != std::string::npos;
}

// The letter of every switch the help names: each word that begins with
// '-' and a switch character ("-D[:P]", "-GE", "-#:0", "-&[:a]").
std::set<char> help_switches(const std::string& help) {
  std::set<char> letters;
  std::istringstream in(help);
  for (std::string word; in >> word;)
    if (word.size() >= 2 && word[0] == '-' && is_switch_char(word[1])) letters.insert(word[1]);
  return letters;
}

// The letter of every entry of the rendered OPTIONS section: the tag lines
// ("       -D:P   As -D, ...", "       -H[:x], -?[:x]").
std::set<char> manual_switches(const std::string& page) {
  std::set<char> letters;
  std::istringstream in(page);
  bool in_options = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != ' ') in_options = line == "OPTIONS";
    if (!in_options || line.rfind("       -", 0) != 0) continue;
    std::string tag = line.substr(7, line.find("  ", 7) - 7);
    for (size_t i = 0; i + 1 < tag.size(); ++i)
      if (tag[i] == '-' && (i == 0 || tag[i - 1] == ' ') && is_switch_char(tag[i + 1]))
        letters.insert(tag[i + 1]);
  }
  return letters;
}

TEST(ManualPage, RendersWithoutWarnings) {
  if (!have_groff()) GTEST_SKIP() << "groff is not installed";
  for (const char* device : {"utf8", "ascii"}) {
    Captured warnings =
        capture(std::string("groff -ww -man -T") + device + " '" + kManPage + "' 2>&1 >/dev/null");
    EXPECT_EQ(warnings.status, 0) << device;
    EXPECT_EQ(warnings.text, "") << device;
  }
}

TEST(ManualPage, HasTheUsualSections) {
  if (!have_groff()) GTEST_SKIP() << "groff is not installed";
  const std::string page = capture("groff -man -Tascii -P-cbu '" + kManPage + "'").text;
  for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS",
                              "EXAMPLES", "FILES", "CAVEATS", "BUGS"})
    EXPECT_NE(page.find(std::string("\n") + section + "\n"), std::string::npos) << section;
}

TEST(ManualPage, DescribesEverySwitchOfTheHelp) {
  if (!have_groff()) GTEST_SKIP() << "groff is not installed";
  const RunResult help = run_qk({"-H:A"});
  ASSERT_EQ(help.exit_code, 0);
  const std::set<char> in_help = help_switches(help.out);
  ASSERT_GE(in_help.size(), 25u) << help.out;
  const std::set<char> in_manual =
      manual_switches(capture("groff -man -Tascii -P-cbu '" + kManPage + "'").text);
  for (char letter : in_help)
    EXPECT_EQ(in_manual.count(letter), 1u) << "-" << letter << " has no entry under OPTIONS";
}

TEST(ManualPage, EveryExitCodeOfTheHelpIsListed) {
  if (!have_groff()) GTEST_SKIP() << "groff is not installed";
  const RunResult help = run_qk({"-H:2"});
  const std::string page = capture("groff -man -Tascii -P-cbu '" + kManPage + "'").text;
  const std::string status = page.substr(page.find("\nEXIT STATUS\n"));
  // The help lists its codes as "0-Normal", "1-File not found", ...
  std::istringstream in(help.out);
  int listed = 0;
  for (std::string word; in >> word;) {
    if (word.size() < 3 || word[1] != '-' || word[0] < '0' || word[0] > '9') continue;
    ++listed;
    EXPECT_NE(status.find(std::string("\n       ") + word[0] + "   "), std::string::npos)
        << "exit code " << word[0];
  }
  EXPECT_EQ(listed, 10);
}

}  // namespace
}  // namespace qk::test
