// The restore journal's layout; see journal_format.h.
#include "stream/journal_format.h"

#include <cstring>

#include "stream/checksum.h"

namespace qk::journal {

namespace {

constexpr char kMagic[8] = {'Q', 'K', 'J', 'O', 'U', 'R', 'N', '1'};
constexpr uint32_t kVersion = 1;
constexpr uint32_t kRecordMagic = 0x3152434b;  // "KCR1"

uint64_t head_check(Head head) {
  head.check = 0;
  return checksum(&head, sizeof head, 0x716b6a6f75726e31ull);
}

uint64_t record_check(RecordHead head, const char* body, uint64_t seed) {
  head.check = 0;
  const uint64_t of_head = checksum(&head, sizeof head, seed);
  return checksum(body, static_cast<size_t>(head.body), of_head);
}

}  // namespace

std::string name_for(const char* target_name) {
  return std::string(target_name) + kSuffix;
}

Head make_head(const platform::FileIdentity& target, int64_t original_size, uint64_t seed) {
  Head head = {};
  std::memcpy(head.magic, kMagic, sizeof kMagic);
  head.version = kVersion;
  head.head_size = sizeof(Head);
  head.device = target.device;
  head.index = target.index;
  head.original_size = original_size;
  head.seed = seed;
  head.check = head_check(head);
  return head;
}

bool head_is_sound(const Head& head) {
  return std::memcmp(head.magic, kMagic, sizeof kMagic) == 0 && head.version == kVersion &&
         head.head_size == sizeof(Head) && head.original_size >= 0 &&
         head.check == head_check(head);
}

void seal(RecordHead* head, const char* body, uint64_t seed) {
  head->magic = kRecordMagic;
  head->check = record_check(*head, body, seed);
}

bool record_is_sound(const RecordHead& head, const char* body, uint64_t seed) {
  const bool known_kind = head.kind == kWrite || head.kind == kCut || head.kind == kCutOverwritten;
  return head.magic == kRecordMagic && known_kind && head.offset >= 0 && head.end >= head.offset &&
         head.body >= 0 && head.check == record_check(head, body, seed);
}

bool write_back(platform::FileHandle target, const RecordHead& head, const char* body, char* span) {
  // Entries a page or more apart are written apart, so the holes between
  // them stay holes.
  constexpr int64_t kApart = 4096;
  bool ok = true;
  int64_t from = -1;  // the span being gathered: [from, to) of the target
  int64_t to = -1;
  auto put = [&] {
    if (from >= 0) ok = platform::write_at(target, span, to - from, from) && ok;
  };
  const bool parsed = for_each_entry(head, body, [&](int64_t at, const char* bytes, int64_t n) {
    if (from < 0 || at - to >= kApart || at + n - from > kPiece) {
      put();
      from = at;
    } else if (head.kind == kWrite) {
      // The bytes between two entries hold their originals in the target.
      if (!platform::read_at(target, span + (to - from), at - to, to)) ok = false;
    } else {
      std::memset(span + (to - from), 0, static_cast<size_t>(at - to));
    }
    std::memcpy(span + (at - from), bytes, static_cast<size_t>(n));
    to = at + n;
    return true;
  });
  put();
  return parsed && ok;
}

}  // namespace qk::journal
