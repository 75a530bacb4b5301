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

#include "stream/checksum.h"
#include "stream/journal_format.h"
#include "stream/journal_store.h"
#include "stream/map_apply.h"

namespace qk {

namespace {

using journal::RecordHead;

using journal::kBodyRoom;
constexpr int64_t kRangeRoom = journal::kPiece;

// What a record's range of the target holds.
enum class Held { kNew, kOriginal, kMix, kAny, kOther };

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

// The end of the whole records after the head; -1 when a record is not
// sound and more follows it, or it is whole (a record cut short by death
// can only be the last, and is shorter than its length says).
// Where an edit's map lies: its first record, and the record that says
// it is whole (-1 when there is none).
struct MapAt {
  int64_t first = -1;
  int64_t done = -1;
  journal::RecordHead done_head = {};
};

int64_t end_of_whole_records(const JournalStore& store, const journal::Head& journal_head,
                             char* body, int64_t* records, MapAt* map) {
  const int64_t size = store.size();
  int64_t at = sizeof(journal::Head);
  *records = 0;
  for (;;) {
    RecordHead head;
    const auto head_size = static_cast<int64_t>(sizeof head);
    if (size - at < head_size || !store.read(at, &head, sizeof head)) return at;
    // Room set aside for a map's progress, before its last record came.
    if (head.magic == 0 && head.kind == 0 && head.body == 0) return at;
    if (head.body < 0 || head.body > kBodyRoom) return -1;
    const int64_t length = head_size + head.body + journal::kTrailer;
    if (size - at < length) return at;  // cut short
    int64_t trailer = 0;
    if (!store.read(at + head_size, body, head.body) ||
        !store.read(at + length - journal::kTrailer, &trailer, sizeof trailer) ||
        trailer != length ||
        !journal::record_is_sound(head, body, journal_head.seed, journal_head.original_size))
      return -1;
    // A map's records and the others are never in one journal.
    const bool mapping = head.kind == journal::kMap || head.kind == journal::kMapDone;
    if (*records > 0 && mapping != (map->first >= 0)) return -1;
    if (head.kind == journal::kMap && map->first < 0) map->first = at;
    if (head.kind == journal::kMapDone) {
      if (map->first < 0) return -1;
      // What follows is the progress of carrying the map out.
      map->done = at;
      map->done_head = head;
      ++*records;
      return at + length;
    }
    at += length;
    ++*records;
  }
}

// A journal with an edit's map: an edit that changes the file's length.
// Until the map was whole nothing was written, and the file is as it was;
// from then on the edit is finished from the map.
Recovery finish_edit(const std::string& name, JournalStore& store, const journal::Head& head,
                     const MapAt& map, platform::FileHandle target, bool writable) {
  const int64_t size = platform::file_size(target);
  const int64_t original = head.original_size;
  if (map.done < 0) {
    if (size != original) return Recovery::kChanged;
    platform::remove_mark(target);
    platform::remove_file(store.file(), name.c_str());
    return Recovery::kNone;
  }
  const int64_t length = map.done_head.offset;
  if (size < std::min(original, length) || size > std::max(original, length))
    return Recovery::kChanged;
  if (!writable) return Recovery::kUnwritable;
  store.end_at(map.done + static_cast<int64_t>(sizeof(journal::RecordHead)) + journal::kTrailer);
  MapPlan plan;
  plan.begin = map.first;
  plan.end = map.done;
  plan.seed = head.seed;
  plan.length = length;
  plan.slots = static_cast<int64_t>(map.done_head.original);
  plan.chunk = static_cast<int64_t>(map.done_head.written);
  if (!apply_map(store, plan, target)) return Recovery::kUnfinished;
  platform::remove_mark(target);
  platform::remove_file(store.file(), name.c_str());
  return Recovery::kCompleted;
}

// Whether every byte of the record's spans is as the run left it, or as it
// was, or a mix: with the record's originals laid over the entries, the
// spans must be exactly what they were before the run.
Held held_by(platform::FileHandle target, int64_t size, const RecordHead& head, const char* body,
             uint64_t seed, char* range) {
  const int64_t length = head.end - head.offset;
  const int64_t present = std::clamp<int64_t>(size - head.offset, 0, length);
  if (head.kind == journal::kWrite && present < length) return Held::kOther;
  if (present > 0 && !platform::read_at(target, range, present, head.offset)) return Held::kOther;
  std::memset(range + present, 0, static_cast<size_t>(length - present));
  bool zeros = true;  // every byte is gone, or zero as after a cut
  for (int64_t i = 0; zeros && i < present; ++i)
    zeros = range[i] == 0;
  Checksum now(seed);
  journal::BodyReader spans(head, body);
  int64_t at;
  int64_t n;
  while (spans.next_span(&at, &n))
    now.add(range + (at - head.offset), static_cast<size_t>(n));
  const bool parsed =
      journal::for_each_entry(head, body, [&](int64_t entry, const char* bytes, int64_t count) {
        std::memcpy(range + (entry - head.offset), bytes, static_cast<size_t>(count));
        return true;
      });
  Checksum restored(seed);
  journal::BodyReader again(head, body);
  while (again.next_span(&at, &n))
    restored.add(range + (at - head.offset), static_cast<size_t>(n));
  if (!parsed || !spans.ok() || !again.ok() || restored.value() != head.original)
    return Held::kOther;
  const bool original = now.value() == head.original;
  if (head.kind == journal::kCut) {
    if (original && zeros) return Held::kAny;
    return original ? Held::kOriginal : zeros ? Held::kNew : Held::kMix;
  }
  if (original) return Held::kOriginal;
  return now.value() == head.written ? Held::kNew : Held::kMix;
}

// Whether the file is one the dead run can have left: newest first, the
// records' ranges hold their originals (put back, or never written), then
// at most one holds a mix (the write or put-back that death cut short),
// then all hold what the run wrote; and its length is one the run can have
// given it. Ranges that a newer record wrote again, and ranges written
// again after a cut, are checked through the newer record.
bool file_fits(const JournalStore& store, int64_t end, const journal::Head& journal_head,
               platform::FileHandle target, Buffers& buffers) {
  const int64_t size = platform::file_size(target);
  int64_t shortest = journal_head.original_size;
  int64_t longest = journal_head.original_size;
  int64_t low = std::numeric_limits<int64_t>::max();  // lowest offset of the newer records
  int phase = 0;  // 0: originals so far, 1: after the one mix, 2: new bytes
  const bool walked = walk_newest_first(
      store, end, buffers.body, kBodyRoom, [&](const RecordHead& head, const char* body) {
        if (head.kind == journal::kGrowth) {
          longest = std::max(longest, head.end);
          return true;
        }
        if (head.kind != journal::kWrite) shortest = std::min(shortest, head.offset);
        const bool rewritten = head.end > low || head.kind == journal::kCutOverwritten;
        low = std::min(low, head.offset);
        if (rewritten) return true;
        const Held held = held_by(target, size, head, body, journal_head.seed, buffers.range);
        switch (held) {
          case Held::kOther:
            return false;
          case Held::kAny:
            return true;
          case Held::kNew:
            phase = 2;
            return true;
          case Held::kMix:
            if (phase != 0) return false;
            phase = 1;
            return true;
          case Held::kOriginal:
            return phase == 0;
        }
        return false;
      });
  return walked && size >= shortest && size <= longest;
}

bool same_file(const journal::Head& head, const platform::FileIdentity& identity) {
  if (head.index != identity.index) return false;
  // When it was made tells a file from a later one with the same number;
  // where the system does not say, the device must match.
  if (head.birth != 0 && identity.birth != 0) return head.birth == identity.birth;
  return head.device == identity.device;
}

Recovery check_and_apply(const std::string& name, platform::FileHandle file,
                         platform::FileHandle target, bool writable) {
  JournalStore store;
  store.use_file(file, platform::file_size(file));
  journal::Head head;
  if (store.size() < static_cast<int64_t>(sizeof head) || !store.read(0, &head, sizeof head))
    return Recovery::kDamaged;
  switch (journal::check_head(head)) {
    case journal::HeadIs::kOlderFormat:
      return Recovery::kOlderFormat;
    case journal::HeadIs::kDamaged:
      return Recovery::kDamaged;
    case journal::HeadIs::kSound:
      break;
  }
  platform::FileIdentity identity;
  if (!platform::file_identity(target, &identity) || !same_file(head, identity))
    return Recovery::kOtherFile;
  Buffers buffers;
  if (!buffers.body || !buffers.range) return Recovery::kFailed;
  int64_t records = 0;
  MapAt map;
  const int64_t end = end_of_whole_records(store, head, buffers.body, &records, &map);
  if (end < 0) return Recovery::kDamaged;
  if (map.first >= 0) return finish_edit(name, store, head, map, target, writable);
  if (!file_fits(store, end, head, target, buffers)) return Recovery::kChanged;
  if (!writable) return Recovery::kUnwritable;

  // Newest first, and not one write past the first that fails: what is
  // left then is a file the journal still fits.
  bool ok = true;
  const bool read = walk_newest_first(
      store, end, buffers.body, kBodyRoom, [&](const RecordHead& record, const char* body) {
        ok = journal::write_back(target, record, body, buffers.range);
        return ok;
      });
  // A journal without a record belongs to a run that changed nothing, or
  // made one lone write within a page, whole: the file is as that run left
  // it, at whatever length.
  if (!read || !ok || (records > 0 && !platform::set_length(target, head.original_size)))
    return Recovery::kFailed;
  platform::remove_mark(target);
  platform::remove_file(file, name.c_str());
  return records > 0 ? Recovery::kRestored : Recovery::kNone;
}

}  // namespace

Recovered recover(const journal::Places& places, platform::FileHandle target, bool writable) {
  Recovered out;
  const std::string* candidates[] = {&places.marked, &places.beside, &places.own, &places.older};
  bool mark_kept = places.marked.empty();
  for (size_t i = 0; i < sizeof candidates / sizeof candidates[0]; ++i) {
    const std::string& name = *candidates[i];
    if (name.empty() || (i > 0 && name == places.marked)) continue;
    const bool older = &name == &places.older;
    platform::FoundFile found = platform::find_private_file(name.c_str(), target);
    switch (found.kind) {
      case platform::FoundFile::kMissing:
        continue;
      case platform::FoundFile::kForeign:
        if (&name == &places.beside) out.beside_taken = true;
        continue;
      case platform::FoundFile::kOtherUser:
        if (older) continue;  // an older QK's journals were this user's alone
        out.result = Recovery::kOtherUser;
        out.journal = name;
        out.owner = found.owner;
        return out;
      case platform::FoundFile::kOpened:
        break;
    }
    if (!platform::try_lock(found.file)) {
      platform::close_file(found.file);
      out.result = Recovery::kBusy;
      out.journal = name;
      return out;
    }
    // A run that finished removed it while this one looked.
    if (!platform::still_named(found.file, name.c_str())) {
      platform::close_file(found.file);
      continue;
    }
    if (i == 0) mark_kept = true;
    out.result = check_and_apply(name, found.file, target, writable);
    out.journal = name;
    // At the older QK's place, only an older QK's journal is one.
    if (older && out.result == Recovery::kDamaged) {
      out.result = Recovery::kNone;
      out.journal.clear();
      continue;
    }
    return out;
  }
  if (!mark_kept) {
    out.result = Recovery::kLost;
    out.journal = places.marked;
  }
  return out;
}

}  // namespace qk
