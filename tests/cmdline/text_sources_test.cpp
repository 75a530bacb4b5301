// Tests of the texts that come from elsewhere than the argument itself: the
// environment lookup with its upper-case retry, the -L files loaded at
// validation (into the slot or a buffer of their own, and every way a load
// can fail), and the reload of a large <new> file.
#include "cmdline/text_sources.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cmdline/command_line.h"
#include "cmdline/parse.h"
#include "test_util.h"

namespace qk {
namespace {

using test::Args;
using test::parse;

std::string search_text(const Run& run) {
  return std::string(run.texts.search, run.texts.search_len);
}

std::string new_text(const Run& run) {
  return std::string(run.texts.new_text, run.texts.new_len);
}

TEST(TextSourcesTest, EnvironmentLookup) {
  setenv("QK_TS_EXACT", "exact value", 1);
  setenv("qk_ts_lower", "lower", 1);
  setenv("QK_TS_LOWER", "upper", 1);
  setenv("QK_TS_ONLY_UPPER", "only upper", 1);
  setenv("QK_TS_EMPTY", "", 1);
  const std::string slot_name(kSlotText, 'V');
  setenv(slot_name.c_str(), "the name cut to a slot", 1);
  unsetenv("QK_TS_MISSING");
  unsetenv("qk_ts_only_upper");
  struct Case {
    std::string name;
    std::optional<std::string> value;
  };
  const std::vector<Case> cases = {
      {"QK_TS_EXACT", "exact value"},
      {"qk_ts_lower", "lower"},
      {"qk_ts_only_upper", "only upper"},
      {"Qk_Ts_Only_Upper", "only upper"},
      {"QK_TS_EMPTY", ""},
      {"QK_TS_MISSING", std::nullopt},
      {"", std::nullopt},
      {std::string(400, 'Q'), std::nullopt},
      // A long name is looked up whole, never as its first 261 characters.
      {slot_name, "the name cut to a slot"},
      {slot_name + "VV", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string value = "untouched";
    EXPECT_EQ(environment_text(c.name, value), c.value.has_value());
    EXPECT_EQ(value, c.value.value_or("untouched"));
  }
  for (const char* name : {"QK_TS_EXACT", "qk_ts_lower", "QK_TS_LOWER", "QK_TS_ONLY_UPPER",
                           "QK_TS_EMPTY", slot_name.c_str()})
    unsetenv(name);
}

// How a test leaves the file that an -L names.
enum class FileSetup { kContents, kMissing, kDirectory };

TEST(TextSourcesTest, LoadingSearchFiles) {
  struct Case {
    std::string name;
    FileSetup setup;
    std::string contents;
    int32_t error;
    char marker;
    std::string search;  // after the anchors are taken off
    bool in_slot;
    bool start_anchor;
  };
  using namespace std::string_literals;
  const std::string slot_full(kSlotText, 'x');
  const std::string one_more(kSlotText + 1, 'x');
  const std::vector<Case> cases = {
      {"crlf", FileSetup::kContents, "ab\r\n", 0, 0, "ab\r\n", true, false},
      {"nul", FileSetup::kContents, "a\0b"s, 0, 0, "a\0b"s, true, false},
      {"slot full", FileSetup::kContents, slot_full, 0, 0, slot_full, true, false},
      {"one more", FileSetup::kContents, one_more, 0, 'L', one_more, false, false},
      {"anchored", FileSetup::kContents, "#abc", 0, 0, "abc", true, true},
      {"anchored big", FileSetup::kContents, "#" + one_more, 0, 'L', one_more, false, true},
      {"empty", FileSetup::kContents, "", -7, '4', "", true, false},
      {"missing", FileSetup::kMissing, "", -7, '1', "", true, false},
      {"directory", FileSetup::kDirectory, "", -7, '1', "", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string path = dir.file("search.txt");
    if (c.setup == FileSetup::kContents) test::write_file(path, c.contents);
    if (c.setup == FileSetup::kDirectory) mkdir(path.c_str(), 0700);
    // Absolute names begin with '/', so -G keeps them from being switches.
    auto run = parse({"f", "-L", "-G", path, "n"});
    EXPECT_EQ(run->error_code, c.error);
    EXPECT_EQ(run->settings.l_search, c.marker);
    EXPECT_EQ(run->texts.search_file, path);
    EXPECT_EQ(run->settings.start_anchor != 0, c.start_anchor);
    if (c.error != 0) continue;
    EXPECT_EQ(search_text(*run), c.search);
    EXPECT_EQ(run->texts.search == run->texts.slots.search, c.in_slot);
    EXPECT_EQ(new_text(*run), "n");
  }
}

TEST(TextSourcesTest, LoadingNewFiles) {
  struct Case {
    std::string name;
    Args args;  // "@" stands for -G and the path of the file, which holds "new"
    bool create_file;
    int32_t error;
    char search_marker;
    char new_marker;
    std::string new_text;
  };
  const std::vector<Case> cases = {
      {"after search", {"f", "s", "-L", "@"}, true, 0, 0, 0, "new"},
      {"after new", {"f", "s", "@", "-L"}, true, 0, 0, 0, "new"},
      {"missing", {"f", "s", "-L", "@"}, false, -7, 0, '1', ""},
      {"no name for new", {"f", "s", "-L"}, false, -7, 0, '6', ""},
      {"no name for search", {"f", "-L"}, false, -7, '6', 0, ""},
      // The <new> file is not looked at once the <search> file failed.
      {"both missing", {"f", "-L", "@", "-L", "@"}, false, -7, '1', 'L', ""},
      {"both present", {"f", "-L", "@", "-L", "@"}, true, 0, 0, 0, "new"},
      // A missing output name is reported before any file is loaded.
      {"missing output", {"f", "s", "-L", "@", "-$"}, false, -12, 0, 'L', ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string path = dir.file("new.txt");
    if (c.create_file) test::write_file(path, "new");
    Args args;
    for (const std::string& arg : c.args) {
      if (arg == "@") {
        args.insert(args.end(), {"-G", path});
      } else {
        args.push_back(arg);
      }
    }
    auto run = parse(args);
    EXPECT_EQ(run->error_code, c.error);
    EXPECT_EQ(run->settings.l_search, c.search_marker);
    EXPECT_EQ(run->settings.l_new, c.new_marker);
    if (c.error == 0) {
      EXPECT_EQ(new_text(*run), c.new_text);
    }
    if (c.new_marker == '1') {
      EXPECT_EQ(run->texts.new_file, path);
    }
  }
}

TEST(TextSourcesTest, SmallAndLargeFilesGiveTheSameText) {
  test::TempDir dir;
  std::string contents;
  for (int i = 0; i < kSlotText + 1; ++i)
    contents += static_cast<char>('a' + i % 26);
  test::write_file(dir.file("small"), contents.substr(0, kSlotText));
  test::write_file(dir.file("large"), contents);
  auto small = parse({"f", "s", "-LG", dir.file("small")});
  auto large = parse({"f", "s", "-LG", dir.file("large")});
  ASSERT_EQ(small->error_code, 0);
  ASSERT_EQ(large->error_code, 0);
  EXPECT_EQ(new_text(*small), contents.substr(0, kSlotText));
  EXPECT_EQ(new_text(*large), contents);
  EXPECT_EQ(small->settings.l_new, 0);
  EXPECT_EQ(large->settings.l_new, 'L');
  EXPECT_EQ(large->texts.new_text, large->texts.new_buffer.data());
}

TEST(TextSourcesTest, ReloadingTheNewText) {
  struct Case {
    std::string name;
    FileSetup setup;
    std::string contents;  // written after the first load
    bool ok;
    char marker;
    std::string text;
  };
  const std::string original(300, 'o');
  const std::string changed(300, 'c');
  const std::vector<Case> cases = {
      {"unchanged", FileSetup::kContents, original, true, 'L', original},
      {"same size", FileSetup::kContents, changed, true, 'L', changed},
      {"longer", FileSetup::kContents, original + "o", false, '4', original},
      {"shorter", FileSetup::kContents, original.substr(1), false, '4', original},
      {"removed", FileSetup::kMissing, "", false, '1', original},
      {"directory", FileSetup::kDirectory, "", false, '1', original},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string path = dir.file("new.txt");
    test::write_file(path, original);
    auto run = parse({"f", "s", "-L", "-G", path});
    ASSERT_EQ(run->error_code, 0);
    ASSERT_EQ(run->settings.l_new, 'L');
    std::remove(path.c_str());
    if (c.setup == FileSetup::kContents) test::write_file(path, c.contents);
    if (c.setup == FileSetup::kDirectory) mkdir(path.c_str(), 0700);
    EXPECT_EQ(reload_new_text(*run), c.ok);
    EXPECT_EQ(run->settings.l_new, c.marker);
    EXPECT_EQ(run->error_code, 0);
    EXPECT_EQ(new_text(*run), c.text);
  }
}

}  // namespace
}  // namespace qk
