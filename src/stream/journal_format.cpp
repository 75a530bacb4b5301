// The restore journal's layout; see journal_format.h. Every number read
// from a journal is checked before it is used: a journal may be damaged,
// or made by someone who wants QK to write where it must not.
#include "stream/journal_format.h"

#include <cstring>

#include "stream/checksum.h"

namespace qk::journal {

namespace {

constexpr char kMagic[8] = {'Q', 'K', 'J', 'O', 'U', 'R', 'N', '1'};

constexpr uint32_t kRecordMagic = 0x3252434b;  // "KCR2"

uint64_t head_check(Head head) {
  head.check = 0;
  return checksum(&head, sizeof head, 0x716b6a6f75726e31ull);
}

uint64_t record_check(RecordHead head, const char* body, uint64_t seed) {
  head.check = 0;
  const uint64_t of_head = checksum(&head, sizeof head, seed);
  return checksum(body, static_cast<size_t>(head.body), of_head);
}

bool fields_fit(const RecordHead& head, int64_t original_size) {
  if (head.body < 0 || head.body > kBodyRoom || head.offset < 0 || head.end < head.offset)
    return false;
  switch (head.kind) {
    case kWrite:
    case kCut:
    case kCutOverwritten:
      return head.end <= original_size && head.end - head.offset <= kPiece;
    case kGrowth:
      return head.body == 0 && head.end <= kAnyLength;
    case kMap:
      return head.end <= kAnyLength && head.written <= static_cast<uint64_t>(original_size);
    case kMapDone:
      return head.body == 0 && head.end == head.offset && head.end <= kAnyLength &&
             head.original <= static_cast<uint64_t>(kAnyLength) && head.written >= 4096 &&
             head.written <= static_cast<uint64_t>(kMoveChunk);
    default:
      return false;
  }
}

}  // namespace

Head make_head(const platform::FileIdentity& target, int64_t original_size, uint64_t seed) {
  Head head = {};
  std::memcpy(head.magic, kMagic, sizeof kMagic);
  head.version = kVersion;
  head.head_size = sizeof(Head);
  head.device = target.device;
  head.index = target.index;
  head.original_size = original_size;
  head.seed = seed;
  head.birth = target.birth;
  head.check = head_check(head);
  return head;
}

HeadIs check_head(const Head& head) {
  if (std::memcmp(head.magic, kMagic, sizeof kMagic) != 0) return HeadIs::kDamaged;
  if (head.version == 1 && head.head_size == sizeof(Head)) return HeadIs::kOlderFormat;
  const bool sound = head.version == kVersion && head.head_size == sizeof(Head) &&
                     head.original_size >= 0 && head.original_size <= kLargestTarget &&
                     head.check == head_check(head);
  return sound ? HeadIs::kSound : HeadIs::kDamaged;
}

void seal(RecordHead* head, const char* body, uint64_t seed) {
  head->magic = kRecordMagic;
  head->check = record_check(*head, body, seed);
}

bool record_is_sound(const RecordHead& head, const char* body, uint64_t seed,
                     int64_t original_size) {
  if (head.magic != kRecordMagic || !fields_fit(head, original_size) ||
      head.check != record_check(head, body, seed))
    return false;
  if (head.kind == kMap) return map_is_sound(head, body, original_size);
  if (head.kind == kMapDone) return true;
  // The whole body must parse, within the record's range.
  BodyReader reader(head, body);
  int64_t at;
  int64_t n;
  const char* bytes;
  while (reader.next_span(&at, &n)) {
  }
  while (reader.next_entry(&at, &bytes, &n)) {
  }
  return reader.ok();
}

bool map_is_sound(const RecordHead& head, const char* body, int64_t original_size) {
  MapReader reader(head, body);
  MapReader::Item item;
  int64_t items = 0;
  while (reader.next(&item)) {
    if (++items > kMapItems) return false;
    if (item.kind != kNew && item.image + item.length > original_size) return false;
  }
  return reader.ok() && reader.output() == head.end;
}

namespace {

constexpr uint32_t kSlotMagic = 0x544f4c53;  // "SLOT"

uint64_t slot_check(Slot slot, const char* data, uint64_t seed) {
  slot.check = 0;
  return checksum(data, slot.size, checksum(&slot, sizeof slot, seed ^ 0x736c6f74));
}

}  // namespace

void seal_slot(Slot* slot, const char* data, uint64_t seed) {
  slot->magic = kSlotMagic;
  slot->check = slot_check(*slot, data, seed);
}

bool slot_is_sound(const Slot& slot, const char* data, uint64_t seed) {
  return slot.magic == kSlotMagic && slot.size <= kMoveChunk && slot.begin >= 0 &&
         slot.begin <= slot.end && slot.end - slot.begin <= kMoveChunk &&
         (slot.size == 0 || slot.size == slot.end - slot.begin) &&
         slot.check == slot_check(slot, data, seed);
}

MapReader::MapReader(const RecordHead& head, const char* body)
    : begin_(body),
      p_(body),
      end_(body + head.body),
      output_(head.offset),
      image_(static_cast<int64_t>(head.written)) {}

BodyReader::BodyReader(const RecordHead& head, const char* body)
    : head_(head), end_(body + head.body), position_(head.offset) {
  spans_.p = body;
  spans_.position = head.offset;
  if (head.body == 0) {
    entries_ = p_ = body;
    return;
  }
  const char* p = body;
  uint64_t count = 0;
  for (int shift = 0;; shift += 7) {
    if (p >= end_ || shift > 56) {
      fail();
      return;
    }
    const auto byte = static_cast<unsigned char>(*p++);
    count |= static_cast<uint64_t>(byte & 0x7f) << shift;
    if (!(byte & 0x80)) break;
  }
  // Each span takes two bytes at least.
  if (count > static_cast<uint64_t>(end_ - p) / 2) {
    fail();
    return;
  }
  spans_.p = p;
  spans_.left = count;
  around_ = spans_;
}

bool BodyReader::span_of(Spans* spans, int64_t* at, int64_t* length) {
  if (spans->left == 0) return false;
  uint64_t gap;
  uint64_t n;
  const auto room = static_cast<uint64_t>(head_.end - spans->position);
  if (!read_number(&spans->p, end_, &gap) || !read_number(&spans->p, end_, &n) || gap > room ||
      n == 0 || n > room - gap)
    return fail();
  *at = spans->position + static_cast<int64_t>(gap);
  *length = static_cast<int64_t>(n);
  spans->position = *at + *length;
  --spans->left;
  return true;
}

bool BodyReader::next_span(int64_t* at, int64_t* length) {
  if (!ok_ || !span_of(&spans_, at, length)) return false;
  return true;
}

bool BodyReader::next_entry(int64_t* at, const char** bytes, int64_t* length) {
  if (!ok_) return false;
  if (!entries_) {
    // The entries begin behind the last span.
    Spans rest = around_;
    int64_t a;
    int64_t n;
    while (rest.left > 0)
      if (!span_of(&rest, &a, &n)) return false;
    entries_ = p_ = rest.p;
  }
  if (p_ >= end_) return false;
  uint64_t gap;
  uint64_t n;
  const auto room = static_cast<uint64_t>(head_.end - position_);
  if (!read_number(&p_, end_, &gap) || !read_number(&p_, end_, &n) || gap > room || n == 0 ||
      n > room - gap || n > static_cast<uint64_t>(end_ - p_))
    return fail();
  *at = position_ + static_cast<int64_t>(gap);
  *length = static_cast<int64_t>(n);
  *bytes = p_;
  // Inside a span: the spans are in order, so the one holding this entry
  // is the one that held the last, or a later one.
  while (*at >= span_end_) {
    if (!span_of(&around_, &span_at_, &span_end_)) return fail();
    span_end_ += span_at_;
  }
  if (*at < span_at_ || *at + *length > span_end_) return fail();
  p_ += n;
  position_ = *at + *length;
  return true;
}

bool write_back(platform::FileHandle target, const RecordHead& head, const char* body, char* span) {
  // Entries a page or more apart are written apart, so the holes between
  // them stay holes.
  constexpr int64_t kApart = 4096;
  bool ok = true;
  int64_t from = -1;  // the span being gathered: [from, to) of the target
  int64_t to = -1;
  auto put = [&] {
    if (ok && from >= 0) ok = platform::write_at(target, span, to - from, from);
    return ok;
  };
  const bool parsed = for_each_entry(head, body, [&](int64_t at, const char* bytes, int64_t n) {
    if (from < 0 || at - to >= kApart || at + n - from > kPiece) {
      if (!put()) return false;
      from = at;
    } else if (head.kind == kWrite) {
      // The bytes between two entries hold their originals in the target.
      if (!platform::read_at(target, span + (to - from), at - to, to)) return ok = false;
    } else {
      std::memset(span + (to - from), 0, static_cast<size_t>(at - to));
    }
    std::memcpy(span + (at - from), bytes, static_cast<size_t>(n));
    to = at + n;
    return true;
  });
  return parsed && put();
}

}  // namespace qk::journal
