// The layout of a restore journal. A journal is a head that names the file
// it protects, then records, appended one at a time, each complete before
// the write it describes is made:
//
//   head     (64 bytes): magic, version, the target's identity and
//            original size, a number of its own that seeds every checksum,
//            and the head's checksum
//   record   RecordHead (56 bytes), body, then its own length (8 bytes),
//            so that play back can walk from the newest to the oldest
//
// A write record is about the stretches one or more writes cover (spans,
// all inside one piece of the file): its body lists them, then the
// originals of the bytes in them that change, as entries (gap from the
// previous entry's end, length, original bytes). It holds checksums of
// all the spans' bytes as they were and as the writes leave them, so a
// recovery can tell that every byte of the spans is as the run left it. A cut record keeps what a
// cut of the file takes away, leaving out runs of zero bytes, which lengthening the file brings
// back as holes. A growth record says how long the run may make the file.
// Numbers are little-endian, as on every machine QK is built for.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace qk::journal {

// Every journal's name ends so, whatever place it has.
constexpr const char* kSuffix = ".qk-journal";

constexpr uint32_t kVersion = 2;

struct Head {
  char magic[8];
  uint32_t version;
  uint32_t head_size;
  uint64_t device;
  uint64_t index;
  int64_t original_size;
  uint64_t seed;
  uint64_t birth;
  uint64_t check;
};
static_assert(sizeof(Head) == 64, "the head is 64 bytes on every build");

enum Kind : uint32_t {
  kWrite = 1,
  kCut = 2,
  kCutOverwritten = 3,
  kGrowth = 4,
  kMap = 5,      // a stretch of an edit's output, as a map of the file
  kMapDone = 6,  // the map is whole: the edit can be finished from it
};

struct RecordHead {
  uint32_t magic;
  uint32_t kind;
  int64_t offset;  // the target range the record is about
  int64_t end;
  int64_t body;       // bytes of spans and entries behind the head
  uint64_t written;   // kWrite: checksum of the spans' bytes as written
  uint64_t original;  // kWrite, kCut: checksum of the spans' bytes before
  uint64_t check;     // checksum of the head (this field 0) and the body
};
static_assert(sizeof(RecordHead) == 56, "a record head is 56 bytes on every build");
constexpr int64_t kTrailer = 8;

// A write is kept a piece at a time, one record a piece, so a record's
// range is at most kPiece bytes; with the spans and the entries' numbers,
// its body can be half as long again, never more than kBodyRoom.
constexpr int64_t kPiece = 256 << 10;
constexpr int64_t kBodyRoom = 2 * kPiece + 64;

// An edit that changes the file's length is first written down as a map
// of its whole output (kMap records) and then carried out in place from
// it (stream/map_apply.h). A map record covers the output range [offset,
// end); its body is items, each a number (length << 2 | kind) and then:
// for a copy, the gap in the image from the end of the copy before it (the
// first counts from the record's `written`); for new bytes, the bytes.
// Copies follow each other in the image. kMapDone says the output's
// length (offset) and where the progress of carrying it out is kept
// (`original`: two slots of kSlotRoom bytes each, past the records).
enum MapItem : uint32_t {
  kSame = 0,  // image bytes already in their place (passed over)
  kCopy = 1,  // image bytes written at the output's place
  kNew = 2,   // new bytes
};
// The most items a map record holds, so that a record read back fits in
// a small table.
constexpr int64_t kMapItems = 16384;

// The progress of carrying out a map: the output range [begin, end) of
// the run of moved bytes that starts at `run`, about to be written, and,
// where that write would overwrite bytes it is made of, the bytes
// themselves (`size` of them behind the head).
struct Slot {
  uint32_t magic;
  uint32_t size;
  uint64_t sequence;
  int64_t run;
  int64_t begin;
  int64_t end;
  uint64_t check;
};
static_assert(sizeof(Slot) == 48, "a slot head is 48 bytes on every build");
constexpr int64_t kMoveChunk = 64 << 10;
constexpr int64_t kSlotRoom = static_cast<int64_t>(sizeof(Slot)) + kMoveChunk;
void seal_slot(Slot* slot, const char* data, uint64_t seed);
bool slot_is_sound(const Slot& slot, const char* data, uint64_t seed);

// The largest target QK edits.
constexpr int64_t kLargestTarget = 2147483583;

// The longest a growth record may let a file be: any length an output file
// that is the target itself may take.
constexpr int64_t kAnyLength = INT64_MAX / 4;

Head make_head(const platform::FileIdentity& target, int64_t original_size, uint64_t seed);
// What a journal's head says of itself.
enum class HeadIs { kSound, kOlderFormat, kDamaged };
HeadIs check_head(const Head& head);

void seal(RecordHead* head, const char* body, uint64_t seed);
// The record's checksum holds and every field lies where a journal of a
// file `original_size` bytes long can put it.
bool record_is_sound(const RecordHead& head, const char* body, uint64_t seed,
                     int64_t original_size);

// Numbers in a body are 7 bits a byte, low bits first.
inline int encode_number(uint64_t value, unsigned char* to) {
  int n = 0;
  while (value >= 0x80) {
    to[n++] = static_cast<unsigned char>(value | 0x80);
    value >>= 7;
  }
  to[n++] = static_cast<unsigned char>(value);
  return n;
}

// Reads a body: its spans, then its entries, each checked to lie in order
// inside the record's range, and every entry inside a span, before it is
// handed on.
class BodyReader {
 public:
  BodyReader(const RecordHead& head, const char* body);
  // The next span; false after the last one, or when the body does not
  // parse (then ok() is false).
  bool next_span(int64_t* at, int64_t* length);
  // The next entry; false after the last one, or on a fault.
  bool next_entry(int64_t* at, const char** bytes, int64_t* length);
  bool ok() const { return ok_; }

 private:
  // A run of (gap, length) pairs from `offset` on, as the spans are.
  struct Spans {
    const char* p = nullptr;
    uint64_t left = 0;
    int64_t position = 0;
  };
  bool span_of(Spans* spans, int64_t* at, int64_t* length);
  bool fail() { return ok_ = false; }

  const RecordHead& head_;
  const char* end_;
  const char* entries_ = nullptr;  // where the entries begin, once known
  const char* p_ = nullptr;        // the next entry
  int64_t position_ = 0;           // where the next entry's gap counts from
  Spans spans_;                    // for next_span
  Spans around_;                   // the spans the entries are checked against
  int64_t span_at_ = 0;            // the span the last entry lay in
  int64_t span_end_ = 0;
  bool ok_ = true;
};

// Reads a number written by encode_number from *p (< end) and moves *p
// past it; false when it runs past `end` or is too long.
inline bool read_number(const char** p, const char* end, uint64_t* value) {
  *value = 0;
  for (int shift = 0;; shift += 7) {
    if (*p >= end || shift > 56) return false;
    const auto byte = static_cast<unsigned char>(*(*p)++);
    *value |= static_cast<uint64_t>(byte & 0x7f) << shift;
    if (!(byte & 0x80)) return true;
  }
}

// Reads the items of a map record, each checked to lie where a map can
// put it.
class MapReader {
 public:
  struct Item {
    uint32_t kind;
    int64_t length;
    int64_t output;    // where it goes in the output
    int64_t image;     // copies: where it comes from in the image
    const char* data;  // new bytes
  };
  // Where the next item begins: its place in the body, and the output and
  // image offsets reached there.
  struct Where {
    int64_t at = 0;
    int64_t output = 0;
    int64_t image = 0;
  };
  MapReader() = default;
  MapReader(const RecordHead& head, const char* body);
  bool next(Item* item);
  bool ok() const { return ok_; }
  int64_t output() const { return output_; }  // the end of the items read so far
  int64_t image() const { return image_; }    // the end of the copies read so far
  Where where() const { return {p_ - begin_, output_, image_}; }
  // Goes on from a place where() gave for the same body.
  void go_to(const Where& where) {
    p_ = begin_ + where.at;
    output_ = where.output;
    image_ = where.image;
    ok_ = where.at >= 0 && where.at <= end_ - begin_;
  }

 private:
  bool fail() { return ok_ = false; }
  const char* begin_ = nullptr;
  const char* p_ = nullptr;
  const char* end_ = nullptr;
  int64_t output_ = 0;
  int64_t image_ = 0;
  bool ok_ = true;
};
// Inline: carrying out a map reads millions of items.
inline bool MapReader::next(Item* item) {
  if (!ok_ || p_ >= end_) return false;
  uint64_t tag;
  if (!read_number(&p_, end_, &tag)) return fail();
  const auto kind = static_cast<uint32_t>(tag & 3);
  const uint64_t length = tag >> 2;
  if (kind > kNew || length == 0 || length > static_cast<uint64_t>(kAnyLength)) return fail();
  item->kind = kind;
  item->length = static_cast<int64_t>(length);
  item->output = output_;
  item->data = nullptr;
  if (kind == kNew) {
    if (length > static_cast<uint64_t>(end_ - p_)) return fail();
    item->data = p_;
    item->image = -1;
    p_ += length;
  } else {
    uint64_t gap;
    if (!read_number(&p_, end_, &gap) || gap > static_cast<uint64_t>(kAnyLength)) return fail();
    item->image = image_ + static_cast<int64_t>(gap);
    if (item->image > kAnyLength - item->length) return fail();
    // Bytes in their place lie where they are in the output.
    if (kind == kSame && item->image != output_) return fail();
    image_ = item->image + item->length;
  }
  if (output_ > kAnyLength - item->length) return fail();
  output_ += item->length;
  return true;
}

bool map_is_sound(const RecordHead& head, const char* body, int64_t original_size);

// Calls f(target offset, original bytes, length) for every entry of a
// body; false when the body does not parse.
template <typename F>
bool for_each_entry(const RecordHead& head, const char* body, F f) {
  BodyReader reader(head, body);
  int64_t at;
  const char* bytes;
  int64_t n;
  while (reader.next_entry(&at, &bytes, &n))
    if (!f(at, bytes, n)) return false;
  return reader.ok();
}

// Writes a record's originals back into `target`: entries close together
// go out in one write, with the bytes between them read from the target
// (where the record left them alone they are the originals still) or, in a
// cut record, zeros; `span` has room for kPiece bytes. It stops at the
// first write that fails.
bool write_back(platform::FileHandle target, const RecordHead& head, const char* body, char* span);

}  // namespace qk::journal
