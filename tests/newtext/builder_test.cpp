// The new-text builder on its own: what it writes for one acted match, the
// count it returns, and how far it moves the image cursor.
#include "newtext/builder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fileio/image.h"
#include "platform/platform.h"
#include "test_util.h"

namespace qk {
namespace {

struct BuildCase {
  std::string image;   // the file image
  int64_t match_at;    // the match start (and the image cursor)
  std::string search;  // the prepared search text
  std::string new_text;
  void (*configure)(Run&);  // settings for this case
  std::string written;      // what reaches the output
  int64_t returned;
  int64_t consumed;  // how far the cursor moves
};

void no_settings(Run&) {}

// Runs write_new_text once on a match of the search text at `match_at`.
void check(const BuildCase& c) {
  test::TempDir dir;
  const std::string out_path = dir.file("out");
  qk::Run run;
  std::memcpy(run.texts.slots.search, c.search.data(), c.search.size());
  run.texts.search_len = static_cast<uint32_t>(c.search.size());
  std::memcpy(run.texts.slots.new_text, c.new_text.data(), c.new_text.size());
  run.texts.new_len = static_cast<uint32_t>(c.new_text.size());
  use_memory_image(run.image, c.image.data(), static_cast<int64_t>(c.image.size()));
  run.writer.cursor = c.match_at;
  run.match.offset = 0;
  run.match.start = run.writer.cursor;
  run.match.length = static_cast<int64_t>(c.search.size());
  run.settings.amp_case = 0;  // as validation leaves it without -&
  c.configure(run);
  run.writer.out.attach(platform::open_file(out_path.c_str(), platform::OpenMode::kCreate), false);
  const int64_t before = run.writer.cursor;
  const int64_t returned = write_new_text(run);
  run.writer.out.close();
  EXPECT_EQ(test::read_file(out_path), c.written) << c.new_text;
  EXPECT_EQ(returned, c.returned) << c.new_text;
  EXPECT_EQ(run.writer.cursor - before, c.consumed) << c.new_text;
}

TEST(Builder, WritesTheEditAndConsumesTheMatch) {
  const std::vector<BuildCase> cases = {
      {"xabcx", 1, "abc", "yz", no_settings, "yz", 2, 3},
      {"xabcx", 1, "abc", "", no_settings, "", 0, 3},
      {"xabcx", 1, "abc", "y", [](qk::Run& r) { r.settings.padding = 'N'; }, "y  ", 3, 3},
      {"xabcx", 1, "abc", "",
       [](qk::Run& r) {
         r.settings.padding = 'N';
         r.settings.pad_byte = 0;
       },
       std::string(3, '\0'), 3, 3},
      {"xabcx", 1, "abc", "wxyz", [](qk::Run& r) { r.settings.padding = 'N'; }, "wxyz", 4, 3},
      // -O: a longer text consumes as many bytes after the match, up to the end.
      {"abXYZ", 0, "ab", "abcd", [](qk::Run& r) { r.settings.overwrite = 'O'; }, "abcd", 4, 4},
      {"xxab", 2, "ab", "abcd", [](qk::Run& r) { r.settings.overwrite = 'O'; }, "abcd", 4, 2},
      {"abXYZ", 0, "ab", "a", [](qk::Run& r) { r.settings.overwrite = 'O'; }, "a", 1, 2},
      // -A and -I write the matched text as it stands in the file.
      {"xAbx", 1, "ab", "+", [](qk::Run& r) { r.settings.append_insert = 'A'; }, "Ab+", 3, 2},
      {"xAbx", 1, "ab", "+", [](qk::Run& r) { r.settings.append_insert = 'I'; }, "+Ab", 3, 2},
      // '&' and its case variants; -&:C leaves out anchor characters.
      {"xAbCx", 1, "a@c", "[&]", no_settings, "[AbC]", 5, 3},
      {"xAbCx", 1, "a@c", "[&]", [](qk::Run& r) { r.settings.amp_case = 'U'; }, "[ABC]", 5, 3},
      {"xAbCx", 1, "a@c", "[&]", [](qk::Run& r) { r.settings.amp_case = 'L'; }, "[abc]", 5, 3},
      {"xAbCx", 1, "a@c", "[&]", [](qk::Run& r) { r.settings.amp_case = 'C'; }, "[abc]", 5, 3},
      {"xa!bx", 1, "a!b", "<&>", [](qk::Run& r) { r.settings.amp_case = 'C'; }, "<ab>", 4, 3},
      {"xab", 1, "ab", "&&", [](qk::Run& r) { r.settings.whole_line_amp = 'X'; }, "abab", 4, 2},
      {"xab", 1, "ab", "a&b",
       [](qk::Run& r) {
         r.settings.special[2] = 0;
         r.settings.disabled[2] = '2';
       },
       "a&b", 3, 2},
      // Line breaks count two bytes, but one for padding.
      {"x12345", 1, "12345", "a|b",
       [](qk::Run& r) {
         r.settings.padding = 'N';
         r.k.entries[0] = {6, '|'};
         r.k.count = r.k.line_breaks = 1;
       },
       "a\r\nb  ", 6, 5},
      // -U writes nothing and takes the line's CR LF, never past the end.
      {"ab\r\ncd", 0, "ab", "new", [](qk::Run& r) { r.settings.line_filter = 'U'; }, "", 0, 4},
      {"ab", 0, "ab", "new", [](qk::Run& r) { r.settings.line_filter = 'U'; }, "", 0, 2},
  };
  for (const BuildCase& c : cases)
    check(c);
}

TEST(Builder, CountsInsertionsAndRemembersTextsWithout) {
  test::TempDir dir;
  qk::Run run;
  std::string image = "abab";
  std::memcpy(run.texts.slots.search, "ab", 2);
  run.texts.search_len = 2;
  use_memory_image(run.image, image.data(), static_cast<int64_t>(image.size()));
  run.writer.out.attach(platform::open_file(dir.file("out").c_str(), platform::OpenMode::kCreate),
                        false);
  for (const char* text : {"&-&", "plain"}) {
    std::strcpy(run.texts.slots.new_text, text);
    run.texts.new_len = static_cast<uint32_t>(std::strlen(text));
    run.writer.cursor = run.match.start = 0;
    run.match.length = 2;
    write_new_text(run);
  }
  EXPECT_EQ(run.counts.ampersand, 2);
  EXPECT_TRUE(run.counts.no_insertion_memo);
}

TEST(Builder, ApostrophesBecomeDoubleQuotes) {
  qk::Run run;
  std::memcpy(run.texts.slots.new_text, "it's '", 6);
  run.texts.new_len = 6;
  convert_apostrophes(run);
  EXPECT_EQ(std::string(run.texts.new_text, 6), "it\"s \"");
}

}  // namespace
}  // namespace qk
