// The layout of a restore journal, on disk and in memory alike. A journal
// is a head that names the file it protects, then records, appended one
// at a time, each complete before the write it describes is made:
//
//   head     (64 bytes): magic, version, the target's identity and
//            original size, a number of its own that seeds every checksum,
//            and the head's checksum
//   record   RecordHead (48 bytes), body, then its own length (8 bytes),
//            so that play back can walk from the newest to the oldest
//
// A write record keeps the originals of the bytes one write changes, as
// entries (gap from the previous entry's end, length, original bytes),
// and a checksum of the bytes the write puts there. A cut record keeps
// what a cut of the file takes away, leaving out runs of zero bytes, which
// lengthening the file brings back as holes. Numbers are little-endian,
// as on every machine QK is built for.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/platform.h"

namespace qk::journal {

// A journal's name is its target's name with this behind it, so it lies
// in the target's folder and says whose journal it is.
constexpr const char* kSuffix = ".qk-journal";
std::string name_for(const char* target_name);

struct Head {
  char magic[8];
  uint32_t version;
  uint32_t head_size;
  uint64_t device;
  uint64_t index;
  int64_t original_size;
  uint64_t seed;
  uint64_t reserved;
  uint64_t check;
};
static_assert(sizeof(Head) == 64, "the head is 64 bytes on every build");

enum Kind : uint32_t { kWrite = 1, kCut = 2, kCutOverwritten = 3 };

struct RecordHead {
  uint32_t magic;
  uint32_t kind;
  int64_t offset;  // the target range the record is about
  int64_t end;
  int64_t body;      // bytes of entries behind the head
  uint64_t written;  // kWrite: checksum of the bytes written where entries are
  uint64_t check;    // checksum of the head (this field 0) and the body
};
static_assert(sizeof(RecordHead) == 48, "a record head is 48 bytes on every build");
constexpr int64_t kTrailer = 8;

// A write is kept a piece at a time, one record a piece, so a record's
// range is at most kPiece bytes; with the entries' numbers, its body can
// be half as long again, never more than kBodyRoom.
constexpr int64_t kPiece = 256 << 10;
constexpr int64_t kBodyRoom = 2 * kPiece + 64;

Head make_head(const platform::FileIdentity& target, int64_t original_size, uint64_t seed);
bool head_is_sound(const Head& head);

void seal(RecordHead* head, const char* body, uint64_t seed);
bool record_is_sound(const RecordHead& head, const char* body, uint64_t seed);

// Entries: numbers are 7 bits a byte, low bits first.
inline int encode_number(uint64_t value, unsigned char* to) {
  int n = 0;
  while (value >= 0x80) {
    to[n++] = static_cast<unsigned char>(value | 0x80);
    value >>= 7;
  }
  to[n++] = static_cast<unsigned char>(value);
  return n;
}

// Calls f(target offset, original bytes, length) for every entry of a
// body; false when the body does not parse.
template <typename F>
bool for_each_entry(const RecordHead& head, const char* body, F f) {
  const char* p = body;
  const char* end = body + head.body;
  int64_t position = head.offset;
  while (p < end) {
    uint64_t gap = 0;
    uint64_t length = 0;
    for (uint64_t* number : {&gap, &length}) {
      for (int shift = 0;; shift += 7) {
        if (p >= end || shift > 56) return false;
        const auto byte = static_cast<unsigned char>(*p++);
        *number |= static_cast<uint64_t>(byte & 0x7f) << shift;
        if (!(byte & 0x80)) break;
      }
    }
    if (length > static_cast<uint64_t>(end - p) || gap > static_cast<uint64_t>(head.end))
      return false;
    position += static_cast<int64_t>(gap);
    if (position + static_cast<int64_t>(length) > head.end) return false;
    if (!f(position, p, static_cast<int64_t>(length))) return false;
    p += length;
    position += static_cast<int64_t>(length);
  }
  return true;
}

// Writes a record's originals back into `target`. Entries close together
// go out in one write, with the bytes between them read from the target
// (where the record left them alone they are the originals still) or, in
// a cut record, zeros; `span` has room for kPiece bytes.
bool write_back(platform::FileHandle target, const RecordHead& head, const char* body, char* span);

}  // namespace qk::journal
