// The matcher on its own: anchors, wildcards, case folding, zero-length
// search texts, and agreement with a plain byte-by-byte scan.
#include "engine/matcher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace qk {
namespace {

// Sets a run up to search `image` for `search`, prepared as validation
// would prepare it.
void set_up(Run& run, const std::string& image, const std::string& search) {
  std::memcpy(run.texts.slots.search, search.data(), search.size());
  run.texts.search_len = static_cast<uint32_t>(search.size());
  prepare_search(run);
  run.image.start = image.data();
  run.image.end = image.data() + image.size();
  run.writer.cursor = run.image.start;
}

// All match offsets from the image start, each find starting one byte after
// the previous match's start.
std::vector<int64_t> all_starts(Run& run) {
  std::vector<int64_t> found;
  int64_t from = 0;
  for (;;) {
    find_match(run, from);
    if (run.match.offset < 0) return found;
    found.push_back(run.match.offset);
    from = run.match.offset + 1;
  }
}

TEST(Matcher, FindsWhatTheRulesAllow) {
  struct Case {
    std::string image, search;
    std::vector<int64_t> starts;
    bool case_sensitive = false;
  };
  const std::vector<Case> cases = {
      {"abc x\nabc \rabc", "#abc", {0, 6}},
      {"abc\r\nabc\nabc", "abc!", {0, 5, 9}},
      {"x\r\nabc\r\nabcd\r\n", "#abc!", {3}},
      {"a\nc a\rc", "a@c", {0, 4}},
      {"bc xbc", "@bc", {3}},
      {"abc aBc ABC", "ABC", {0, 4, 8}},
      {"abc aBc ABC", "ABC", {8}, true},
      {"\xC9\xE9", "\xC9", {0}},
      {"aaaa", "aa", {0, 1, 2}},
      {"#x #x\n#x", "##x", {0, 6}},
      {"a\r\n\r\nb", "#", {0, 3, 5}},
      {"a\r\n\r\nb", "!", {1, 3}},
      {"a\r\n\r\nb", "#!", {3}},
      {"ab", "@@@", {}},
      {"ab", "@@", {0}},
      {"[{]", "{", {1}},
      {std::string("a\0b", 3), std::string("\0b", 2), {1}},
  };
  for (const Case& c : cases) {
    qk::Run run;
    run.settings.case_sensitive = c.case_sensitive ? 'C' : 0;
    std::string image = c.image;
    set_up(run, image, c.search);
    EXPECT_EQ(all_starts(run), c.starts) << "search '" << c.search << "' in '" << c.image << "'";
  }
}

TEST(Matcher, ChangedAndDisabledSpecialCharacters) {
  {
    qk::Run run;  // -1:x makes 'x' the wildcard and '@' literal
    run.settings.special[1] = 'x';
    std::string image = "a@c abc";
    set_up(run, image, "axc");
    EXPECT_EQ(all_starts(run), (std::vector<int64_t>{0, 4}));
  }
  {
    qk::Run run;  // -1 disables the wildcard
    run.settings.special[1] = 0;
    run.settings.disabled[1] = '1';
    std::string image = "abc a@c";
    set_up(run, image, "a@c");
    EXPECT_EQ(all_starts(run), (std::vector<int64_t>{4}));
  }
  {
    qk::Run run;  // -3 keeps '#' as text
    run.settings.special[3] = 0;
    run.settings.disabled[3] = '3';
    std::string image = "a#x";
    set_up(run, image, "#x");
    EXPECT_EQ(all_starts(run), (std::vector<int64_t>{1}));
    EXPECT_EQ(run.settings.start_anchor, 0);
  }
}

TEST(Matcher, PrepareSearchTakesOffOneAnchorAtEachEnd) {
  struct Case {
    std::string search, rest;
    bool start, end;
  };
  const std::vector<Case> cases = {
      {"#abc!", "abc", true, true},     {"##x", "#x", true, false}, {"x!!", "x!", false, true},
      {"#", "", true, false},           {"!", "", false, true},     {"#!", "", true, true},
      {"a#b!c", "a#b!c", false, false},
  };
  for (const Case& c : cases) {
    qk::Run run;
    std::string image = "z";
    set_up(run, image, c.search);
    EXPECT_EQ(std::string(run.texts.search, run.texts.search_len), c.rest) << c.search;
    EXPECT_EQ(run.settings.start_anchor != 0, c.start) << c.search;
    EXPECT_EQ(run.settings.end_anchor != 0, c.end) << c.search;
  }
}

TEST(Matcher, FindsFromTheCursorAndNeverPastTheEnd) {
  qk::Run run;
  std::string image = "xxabxxab";
  set_up(run, image, "ab");
  run.writer.cursor = image.data() + 3;
  find_match(run, 0);
  EXPECT_EQ(run.match.offset, 3);  // counted from the cursor
  EXPECT_EQ(run.match.start, image.data() + 6);
  find_match(run, 4);
  EXPECT_EQ(run.match.offset, -1);
  find_match(run, 40);
  EXPECT_EQ(run.match.offset, -1);
}

// The fast scan must agree with the plainest reading of the rules.
int64_t plain_find(const std::string& image, const std::string& search, bool fold) {
  auto eq = [&](unsigned char s, unsigned char b) {
    if (s == '@') return true;
    if (!fold) return s == b;
    auto lower = [](unsigned char x) { return (x >= 'A' && x <= 'Z') ? x + 32 : x; };
    return lower(s) == lower(b);
  };
  for (size_t c = 0; c + search.size() <= image.size(); ++c) {
    size_t i = 0;
    while (i < search.size() && eq(search[i], image[c + i]))
      ++i;
    if (i == search.size()) return static_cast<int64_t>(c);
  }
  return -1;
}

TEST(Matcher, AgreesWithAPlainScanOnRandomInput) {
  std::mt19937 random(7);
  const std::string alphabet = "aAbBzZ@\r\n\xE1 ";
  for (int round = 0; round < 20000; ++round) {
    std::string image, search;
    const int image_size = static_cast<int>(random() % (round % 2 ? 60 : 400));
    const int search_size = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < image_size; ++i)
      image += alphabet[random() % alphabet.size()];
    for (int i = 0; i < search_size; ++i)
      search += alphabet[random() % alphabet.size()];
    if (search[0] == '#' || search.back() == '!') continue;
    const bool case_sensitive = random() % 2;
    qk::Run run;
    run.settings.case_sensitive = case_sensitive ? 'C' : 0;
    set_up(run, image, search);
    std::vector<int64_t> expected;
    for (int64_t from = 0;;) {
      int64_t at = plain_find(image.substr(static_cast<size_t>(from)), search, !case_sensitive);
      if (at < 0) break;
      expected.push_back(from + at);
      from += at + 1;
    }
    ASSERT_EQ(all_starts(run), expected) << "search '" << search << "' in '" << image << "'";
  }
}

}  // namespace
}  // namespace qk
