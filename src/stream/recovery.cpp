// Recovery with a dead run's journal; see recovery.h. Three passes over
// the journal, none holding more than one record in memory: the first
// finds the records that are whole (a record cut short by death is the
// last one, and its write never happened), the second checks the file
// against them, newest first, touching nothing, the third writes the
// originals back.
#include "stream/recovery.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "stream/checksum.h"
#include "stream/journal_format.h"
#include "stream/journal_store.h"

namespace qk {

namespace {

using journal::RecordHead;

using journal::kBodyRoom;
constexpr int64_t kRangeRoom = journal::kPiece;

// What a record's range of the target holds.
enum class Held { kNew, kOriginal, kOther, kAny };

struct Buffers {
  Buffers()
      : body(platform::allocate_block(static_cast<size_t>(kBodyRoom))),
        range(platform::allocate_block(static_cast<size_t>(kRangeRoom))) {}
  ~Buffers() {
    platform::free_block(body, static_cast<size_t>(kBodyRoom));
    platform::free_block(range, static_cast<size_t>(kRangeRoom));
  }
  Buffers(const Buffers&) = delete;
  Buffers& operator=(const Buffers&) = delete;
  char* body;
  char* range;
};

// The end of the whole records after the head; -1 when a damaged record
// is followed by more (a record cut short by death can only be the last).
int64_t end_of_whole_records(const JournalStore& store, uint64_t seed, char* body) {
  const int64_t size = store.size();
  int64_t at = sizeof(journal::Head);
  for (;;) {
    RecordHead head;
    const auto head_size = static_cast<int64_t>(sizeof head);
    if (size - at < head_size || !store.read(at, &head, sizeof head)) return at;
    if (head.body < 0 || head.body > kBodyRoom) return -1;
    const int64_t length = head_size + head.body + journal::kTrailer;
    if (size - at < length) return at;  // cut short
    int64_t trailer = 0;
    if (!store.read(at + head_size, body, head.body) ||
        !store.read(at + length - journal::kTrailer, &trailer, sizeof trailer) ||
        trailer != length || !journal::record_is_sound(head, body, seed))
      return -1;
    at += length;
  }
}

Held held_by(platform::FileHandle target, int64_t size, const RecordHead& head, const char* body,
             char* range) {
  const int64_t length = std::min(head.end, size) - head.offset;
  if (length > kRangeRoom) return Held::kOther;
  if (length > 0 && !platform::read_at(target, range, length, head.offset)) return Held::kOther;
  bool original = true;
  bool cut_away = true;  // every byte is gone, or zero as after a cut
  bool inside = true;
  Checksum written(0);
  journal::for_each_entry(head, body, [&](int64_t at, const char* bytes, int64_t n) {
    if (at + n > size) {
      original = false;
      inside = false;
      for (int64_t i = at; i < size; ++i)
        cut_away = cut_away && range[i - head.offset] == 0;
      return true;
    }
    const char* now = range + (at - head.offset);
    original = original && std::memcmp(now, bytes, static_cast<size_t>(n)) == 0;
    for (int64_t i = 0; cut_away && i < n; ++i)
      cut_away = now[i] == 0;
    written.add(now, static_cast<size_t>(n));
    return true;
  });
  if (head.kind == journal::kCut) {
    if (original && cut_away) return Held::kAny;
    return original ? Held::kOriginal : cut_away ? Held::kNew : Held::kOther;
  }
  if (original) return Held::kOriginal;
  return inside && written.value() == head.written ? Held::kNew : Held::kOther;
}

// Whether the file is one the dead run can have left: newest first, the
// records' ranges hold their originals (put back, or never written), then
// at most one holds a mix (the write or put-back that death cut short),
// then all hold what the run wrote. Ranges that a newer record wrote
// again, and ranges written again after a cut, cannot be checked.
bool file_fits(const JournalStore& store, int64_t end, const journal::Head& journal_head,
               platform::FileHandle target, Buffers& buffers) {
  const int64_t size = platform::file_size(target);
  int64_t shortest = journal_head.original_size;
  int64_t longest = journal_head.original_size;
  int64_t low = std::numeric_limits<int64_t>::max();  // lowest offset of the newer records
  int phase = 0;  // 0: originals so far, 1: after the one mix, 2: new bytes
  const bool walked = walk_newest_first(
      store, end, buffers.body, kBodyRoom, [&](const RecordHead& head, const char* body) {
        if (head.kind == journal::kWrite) longest = std::max(longest, head.end);
        if (head.kind != journal::kWrite) shortest = std::min(shortest, head.offset);
        if (head.body == 0) return true;
        const bool rewritten = head.end > low || head.kind == journal::kCutOverwritten;
        low = std::min(low, head.offset);
        if (rewritten) return true;
        const Held held = held_by(target, size, head, body, buffers.range);
        if (held == Held::kAny) return true;
        if (held == Held::kNew) {
          phase = 2;
        } else if (held == Held::kOther && phase == 0) {
          phase = 1;
        } else if (phase != 0) {
          return false;
        }
        return true;
      });
  return walked && size >= shortest && size <= longest;
}

Recovery check_and_apply(const char* name, platform::FileHandle file, platform::FileHandle target) {
  const int64_t size = platform::file_size(file);
  if (size == 0) {
    // A run died as it made the journal, before it wrote the head: it had
    // written nothing to the target yet. (The head goes out in one write
    // within one page, which a death does not cut short.)
    platform::close_file(file);
    platform::remove_file(name);
    return Recovery::kNone;
  }
  JournalStore store;
  store.use_file(file, size);
  journal::Head head;
  platform::FileIdentity identity;
  if (size < static_cast<int64_t>(sizeof head) || !store.read(0, &head, sizeof head) ||
      !journal::head_is_sound(head))
    return Recovery::kDamaged;
  if (!platform::file_identity(target, &identity) || identity.device != head.device ||
      identity.index != head.index)
    return Recovery::kOtherFile;
  Buffers buffers;
  if (!buffers.body || !buffers.range) return Recovery::kFailed;
  const int64_t end = end_of_whole_records(store, head.seed, buffers.body);
  if (end < 0) return Recovery::kDamaged;
  if (!file_fits(store, end, head, target, buffers)) return Recovery::kChanged;

  bool ok = true;
  const bool read = walk_newest_first(
      store, end, buffers.body, kBodyRoom, [&](const RecordHead& record, const char* body) {
        ok = journal::write_back(target, record, body, buffers.range) && ok;
        return true;
      });
  ok = read && ok && platform::set_length(target, head.original_size);
  if (!store.close() || !ok) return Recovery::kFailed;
  platform::remove_file(name);
  return Recovery::kRestored;
}

}  // namespace

Recovery recover(const char* target_name, platform::FileHandle target) {
  const std::string name = journal::name_for(target_name);
  platform::Opened outcome;
  platform::FileHandle file = platform::open_private_file(name.c_str(), &outcome);
  if (outcome == platform::Opened::kMissing) return Recovery::kNone;
  if (file == platform::kNoFile) return Recovery::kDamaged;
  if (!platform::owned_by_this_user(file)) {
    platform::close_file(file);
    return Recovery::kNotOurs;
  }
  return check_and_apply(name.c_str(), file, target);
}

}  // namespace qk
