// The matcher on its own: anchors, wildcards, case folding, zero-length
// search texts, and agreement with a plain byte-by-byte scan.
#include "engine/matcher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/pair_scan.h"
#include "engine/reference_scan.h"
#include "fileio/image.h"
#include "platform/platform.h"
#include "test_util.h"

namespace qk {
namespace {

// Sets a run up to search `image` for `search`, prepared as validation
// would prepare it.
void set_up(Run& run, const std::string& image, const std::string& search) {
  std::memcpy(run.texts.slots.search, search.data(), search.size());
  run.texts.search_len = static_cast<uint32_t>(search.size());
  prepare_search(run);
  use_memory_image(run.image, image.data(), static_cast<int64_t>(image.size()));
  run.writer.cursor = 0;
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
      // A line also ends before a bare line feed, but the line feed of a
      // CR LF is no second line end, not even when the CR is matched.
      {"\na\nb\r\n\n", "!", {0, 2, 4, 6}},
      {"\na\nb\r\n\n", "#!", {0, 6}},
      {"b\r\nb\r\r", "b\r!", {3}},
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
  run.writer.cursor = 3;
  find_match(run, 0);
  EXPECT_EQ(run.match.offset, 3);  // counted from the cursor
  EXPECT_EQ(run.match.start, 6);
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

// A file image of `content` read from a file in chunks of `chunk` bytes,
// as a run reads its target.
class StreamedImage {
 public:
  StreamedImage(Run& run, const std::string& content, int64_t chunk) {
    const std::string path = dir_.file("image");
    test::write_file(path, content);
    run.image.chunk_size = chunk;
    const platform::FileHandle file = platform::open_file(path.c_str(), platform::OpenMode::kRead);
    EXPECT_TRUE(open_streamed_image(run, file, static_cast<int64_t>(content.size())));
  }

 private:
  test::TempDir dir_;
};

struct Generated {
  const char* name;
  std::string image_bytes;   // the image is drawn from these...
  int image_size;            // ...up to this many of them
  std::string search_bytes;  // the search text from these, 1 to search_max long,
  int search_max;            // or, when from_image, cut from the image itself
  bool from_image;
  int64_t chunk;  // 0: the image is all in memory
  int rounds;
};

// Every dispatch path of the scan, on texts made to hit its edges: both
// cases of letters, wildcards (changed and disabled too), anchors, one-byte
// and long search texts, matches across the 4 KiB chunks of a streamed
// image, bytes of every value, and a file of one repeated byte. Each find
// starts one byte past the last match, as the engine's do.
TEST(Matcher, AgreesWithAReferenceScanOnEveryPath) {
  std::string every_byte;
  for (int b = 0; b < 256; ++b)
    every_byte += static_cast<char>(b);
  const std::vector<Generated> table = {
      {"letters and line ends", "aAbBzZ@\r\n \xE1", 300, "aAbBzZ@\r\n\xC1", 8, false, 0, 4000},
      {"one byte", "aAbB\r\n", 200, "aAbB\n", 1, false, 0, 1000},
      {"every byte value", every_byte, 500, every_byte, 4, false, 0, 1000},
      {"one repeated byte", "aaaaaaaaaaaaaaab", 3000, "aaaaaaaaaaaaaaab", 300, true, 0, 100},
      {"chunk edges", "abcAB x\r\n", 5 * 4096 + 7, "abcAB x@\r\n", 6, false, 4096, 60},
      {"text from the image across edges", "abcdefghAB x\r\n", 4 * 4096, "", 6000, true, 4096, 40},
  };
  std::mt19937 random(20);
  auto below = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  int paths_run = 0;
  for (ScanPath path : {ScanPath::kPlain, ScanPath::kSse2, ScanPath::kAvx2}) {
    if (!scan_path_runs_here(path)) continue;
    ++paths_run;
    for (const Generated& g : table) {
      for (int round = 0; round < g.rounds; ++round) {
        std::string image;
        const int size = g.chunk ? g.image_size - below(3) : below(g.image_size + 1);
        for (int i = 0; i < size; ++i)
          image +=
              g.image_bytes[static_cast<size_t>(below(static_cast<int>(g.image_bytes.size())))];
        std::string search;
        if (g.from_image && !image.empty()) {
          const int length = 1 + below(std::min(g.search_max, static_cast<int>(image.size())));
          search =
              image.substr(static_cast<size_t>(below(static_cast<int>(image.size()) - length + 1)),
                           static_cast<size_t>(length));
          if (below(3) == 0) search[static_cast<size_t>(below(length))] ^= 0x20;  // case, or a miss
        } else {
          for (int i = 1 + below(g.search_max); i > 0; --i)
            search +=
                g.search_bytes[static_cast<size_t>(below(static_cast<int>(g.search_bytes.size())))];
        }
        // The anchors come from the text (prepare_search) or from switches.
        if (below(6) == 0) search = "#" + search;
        if (below(6) == 0) search += "!";
        qk::Run run;
        run.plan.path = path;
        run.settings.case_sensitive = below(3) == 0 ? 'C' : 0;
        if (below(8) == 0) run.settings.end_anchor = '%';
        if (below(10) == 0) run.settings.special[1] = 'a';  // another wildcard
        if (below(10) == 0) {
          run.settings.special[1] = 0;  // no wildcard
          run.settings.disabled[1] = '1';
        }
        std::unique_ptr<StreamedImage> streamed;
        if (search.size() > qk::kSlotText) {
          run.texts.search_buffer.assign(search.begin(), search.end());
          run.texts.search = run.texts.search_buffer.data();
        } else {
          std::memcpy(run.texts.slots.search, search.data(), search.size());
        }
        run.texts.search_len = static_cast<uint32_t>(search.size());
        prepare_search(run);
        const std::string text(run.texts.search, run.texts.search_len);
        if (g.chunk) {
          streamed = std::make_unique<StreamedImage>(run, image, g.chunk);
        } else {
          use_memory_image(run.image, image.data(), static_cast<int64_t>(image.size()));
        }
        run.writer.cursor = 0;
        std::vector<int64_t> expected;
        for (int64_t at = test::reference_find(image, text, 0, run.settings); at >= 0;
             at = test::reference_find(image, text, at + 1, run.settings))
          expected.push_back(at);
        ASSERT_EQ(all_starts(run), expected)
            << g.name << ", path " << static_cast<int>(path) << ", search '" << search << "' (case "
            << (run.settings.case_sensitive ? "kept" : "ignored") << ", wildcard '"
            << run.settings.special[1] << "') in '" << (image.size() < 400 ? image : "(long)")
            << "'";
        if (g.chunk || text.empty()) continue;
        // Many finds at once, a few at a time: the matches that finds from
        // the end of each match give.
        const auto n = static_cast<int64_t>(text.size());
        std::vector<int64_t> apart;
        for (int64_t at = test::reference_find(image, text, 0, run.settings); at >= 0;
             at = test::reference_find(image, text, at + n, run.settings))
          apart.push_back(at);
        std::vector<int64_t> batched;
        const uint8_t* found[5];
        for (int64_t from = 0;;) {
          int64_t resume = 0;
          const int64_t count =
              find_matches(run, from, 0, run.image.size(), found, 1 + below(5), &resume);
          for (int64_t i = 0; i < count; ++i)
            batched.push_back(reinterpret_cast<const char*>(found[i]) - image.data());
          if (count == 0 && resume == from) break;
          ASSERT_GT(resume, from);
          from = resume;
        }
        if (!run.plan.all_wildcards) {
          ASSERT_EQ(batched, apart) << g.name << ", path " << static_cast<int>(path)
                                    << ", many at once, search '" << search << "'";
        }
      }
    }
  }
  EXPECT_GE(paths_run, 1);
}

}  // namespace
}  // namespace qk
