// Recovery against crafted journals. The checksums are no secret, so a
// journal that passes them may still hold any numbers: each field that
// could send a write outside the target, past a buffer, or make the file
// huge must be refused as damaged, with the target untouched and the
// journal kept. A forged journal that tells the truth is applied, which
// shows the forger makes journals as a run does.
#include "stream/recovery.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "stream/checksum.h"
#include "stream/journal_format.h"
#include "test_util.h"

namespace qk {
namespace {

std::string number(uint64_t value) {
  unsigned char bytes[10];
  const int n = journal::encode_number(value, bytes);
  return std::string(reinterpret_cast<char*>(bytes), static_cast<size_t>(n));
}

// A body: its spans as (gap, length) pairs, then entries as (gap, bytes).
std::string body(const std::vector<std::pair<uint64_t, uint64_t>>& spans,
                 const std::vector<std::pair<uint64_t, std::string>>& entries) {
  std::string b = number(spans.size());
  for (const auto& [gap, length] : spans)
    b += number(gap) + number(length);
  for (const auto& [gap, bytes] : entries)
    b += number(gap) + number(bytes.size()) + bytes;
  return b;
}

struct Forger {
  journal::Head head;
  std::string records;

  Forger(platform::FileHandle target, int64_t original_size) {
    platform::FileIdentity identity;
    platform::file_identity(target, &identity);
    head = journal::make_head(identity, original_size, 0x5eed);
  }
  // A record sealed as a run seals it, whatever its fields say.
  void add(journal::RecordHead record, const std::string& bytes) {
    record.body = static_cast<int64_t>(bytes.size());
    journal::seal(&record, bytes.data(), head.seed);
    const int64_t length = static_cast<int64_t>(sizeof record + bytes.size()) + journal::kTrailer;
    records.append(reinterpret_cast<const char*>(&record), sizeof record);
    records += bytes;
    records.append(reinterpret_cast<const char*>(&length), sizeof length);
  }
  std::string bytes() const {
    return std::string(reinterpret_cast<const char*>(&head), sizeof head) + records;
  }
};

journal::RecordHead record(uint32_t kind, int64_t offset, int64_t end) {
  journal::RecordHead r = {};
  r.kind = kind;
  r.offset = offset;
  r.end = end;
  return r;
}

TEST(Recovery, CraftedJournalsAreRefusedAsDamaged) {
  const std::string original = "the cat sat on the mat, the cat sat on the mat\n";
  std::string written = original;
  written.replace(4, 3, "dog");
  struct Case {
    const char* what;
    void (*forge)(Forger&);
    Recovery expected;
  };
  const Case cases[] = {
      {"a true journal",
       [](Forger& f) {
         journal::RecordHead r = record(journal::kWrite, 0, 47);
         const std::string b = body({{0, 47}}, {{4, "cat"}});
         Checksum before(f.head.seed);
         const std::string was = "the cat sat on the mat, the cat sat on the mat\n";
         before.add(was.data(), was.size());
         r.original = before.value();
         Checksum now(f.head.seed);
         const std::string is = "the dog sat on the mat, the cat sat on the mat\n";
         now.add(is.data(), is.size());
         r.written = now.value();
         f.add(r, b);
       },
       Recovery::kRestored},
      {"an original size of 2^40",
       [](Forger& f) {
         f.head.original_size = int64_t{1} << 40;
         f.head.check = 0;
         f.head = journal::make_head({f.head.device, f.head.index, f.head.birth}, int64_t{1} << 40,
                                     f.head.seed);
         f.add(record(journal::kGrowth, int64_t{1} << 40, int64_t{1} << 40), "");
       },
       Recovery::kDamaged},
      {"an entry's gap that overflows",
       [](Forger& f) {
         f.add(record(journal::kWrite, 0, 47), body({{0, 47}}, {{UINT64_MAX - 2, "cat"}}));
       },
       Recovery::kDamaged},
      {"an offset far past the file",
       [](Forger& f) {
         f.add(record(journal::kWrite, INT64_MAX - 10, INT64_MAX - 5), body({{0, 5}}, {{0, "x"}}));
       },
       Recovery::kDamaged},
      {"a record of 300,000 bytes",
       [](Forger& f) {
         f.head =
             journal::make_head({f.head.device, f.head.index, f.head.birth}, 400000, f.head.seed);
         f.add(record(journal::kWrite, 0, 300000),
               body({{0, 300000}}, {{0, std::string(300000, 'x')}}));
       },
       Recovery::kDamaged},
      {"an entry longer than its record",
       [](Forger& f) {
         f.add(record(journal::kWrite, 0, 10), body({{0, 10}}, {{5, std::string(20, 'x')}}));
       },
       Recovery::kDamaged},
      {"an entry outside the spans",
       [](Forger& f) {
         f.add(record(journal::kWrite, 0, 40), body({{0, 5}}, {{20, "cat"}}));
       },
       Recovery::kDamaged},
      {"more spans than the body holds",
       [](Forger& f) {
         f.add(record(journal::kWrite, 0, 40), number(1000000) + number(0) + number(5));
       },
       Recovery::kDamaged},
      {"a body that ends inside a number",
       [](Forger& f) { f.add(record(journal::kWrite, 0, 40), std::string("\x01\x80", 2)); },
       Recovery::kDamaged},
      {"a kind no run writes", [](Forger& f) { f.add(record(77, 0, 10), ""); }, Recovery::kDamaged},
      {"a growth past any length",
       [](Forger& f) { f.add(record(journal::kGrowth, 47, INT64_MAX), ""); }, Recovery::kDamaged},
      {"an end before the offset", [](Forger& f) { f.add(record(journal::kCut, 30, 20), ""); },
       Recovery::kDamaged},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    const std::string path = dir.file("f");
    test::write_file(path, written);
    const platform::FileHandle target =
        platform::open_file(path.c_str(), platform::OpenMode::kUpdate);
    ASSERT_NE(target, platform::kNoFile);
    const journal::Places places = journal::places_of(target, path.c_str());
    Forger forger(target, static_cast<int64_t>(original.size()));
    c.forge(forger);
    test::write_file(places.beside, forger.bytes());
    const Recovered found = recover(places, target, true);
    platform::close_file(target);
    EXPECT_EQ(found.result, c.expected);
    if (c.expected == Recovery::kRestored) {
      EXPECT_EQ(test::read_file(path), original);
      EXPECT_FALSE(test::file_exists(places.beside));
    } else {
      EXPECT_EQ(test::read_file(path), written);
      EXPECT_EQ(test::read_file(places.beside), forger.bytes());
    }
  }
}

}  // namespace
}  // namespace qk
