// The restore journal; see journal.h. Records are appended to the store in
// the order the writes happen; each ends with its length, so play back
// walks them from the newest to the oldest. The extents of the records a
// growing edit wrote ahead of the scan are kept in memory until the image
// has passed them, so the image can find their originals.
#include "stream/journal.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <new>

#include "stream/checksum.h"

namespace qk {

namespace {

using journal::RecordHead;

constexpr int64_t kPage = 4096;

inline uint64_t word_at(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// The first i' >= i where the two differ, or size: 256 bytes at a time
// with the library's vector compare, then eight, then one.
int64_t first_difference(const char* a, const char* b, int64_t i, int64_t size) {
  while (i + 256 <= size && std::memcmp(a + i, b + i, 256) == 0)
    i += 256;
  while (i + 8 <= size && word_at(a + i) == word_at(b + i))
    i += 8;
  while (i < size && a[i] == b[i])
    ++i;
  return i;
}

// Where a changed stretch starting at i ends: at the next eight equal bytes
// (fewer do not pay for a new entry), or at size.
int64_t end_of_difference(const char* a, const char* b, int64_t i, int64_t size) {
  ++i;
  // A rewrite shifted by an edit differs almost everywhere: four words a
  // step while none of them is equal.
  while (i + 32 <= size) {
    const uint64_t x0 = word_at(a + i) ^ word_at(b + i);
    const uint64_t x1 = word_at(a + i + 8) ^ word_at(b + i + 8);
    const uint64_t x2 = word_at(a + i + 16) ^ word_at(b + i + 16);
    const uint64_t x3 = word_at(a + i + 24) ^ word_at(b + i + 24);
    if (!x0 || !x1 || !x2 || !x3) break;
    i += 32;
  }
  while (i + 8 <= size && word_at(a + i) != word_at(b + i))
    i += 8;
  if (i + 8 > size) i = size;
  // Equal bytes at the end of the last word that differed are not kept.
  while (a[i - 1] == b[i - 1])
    --i;
  return i;
}

uint64_t fresh_seed(const void* salt) {
  const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
  return static_cast<uint64_t>(now) * 0x9e3779b97f4a7c15ull ^ reinterpret_cast<uintptr_t>(salt);
}

}  // namespace

RestoreJournal::~RestoreJournal() {
  platform::close_file(target_);
  platform::free_block(record_, static_cast<size_t>(kRecordRoom));
  platform::free_block(current_, static_cast<size_t>(kPiece));
}

bool RestoreJournal::make_file(const std::string& name, platform::MakeFailure* why) {
  const journal::Head head = journal::make_head(identity_, original_size_, seed_);
  const platform::FileHandle file =
      platform::make_locked_file(name.c_str(), &head, sizeof head, why);
  if (file == platform::kNoFile) return false;
  store_.use_file(file, sizeof head);
  name_ = name;
  return true;
}

RestoreJournal::Started RestoreJournal::start(platform::FileHandle target,
                                              const journal::Places& places, int64_t original_size,
                                              bool beside_taken) {
  using platform::MakeFailure;
  finish(true);
  active_ = true;
  kept_all_ = false;
  last_write_ = false;
  had_no_place_ = false;
  marked_ = false;
  records_ = 0;
  map_ = MapState::kNone;
  lone_at_ = -1;
  lone_original_.clear();
  original_size_ = original_size;
  finished_size_ = 0;
  grown_to_ = original_size;
  seed_ = fresh_seed(this);
  // A handle of its own: the mark on the target is removed when the
  // journal is, whoever closed the target by then.
  target_ = platform::duplicate_file(target);
  extents_.clear();
  floor_ = 0;
  name_.clear();
  why_none_ = MakeFailure::kOther;
  if (!platform::file_identity(target, &identity_)) return Started::kNone;
  MakeFailure why = MakeFailure::kOther;
  const bool try_beside = !places.beside.empty() && !beside_taken;
  if (try_beside) {
    if (make_file(places.beside, &why)) return Started::kJournal;
    if (why == MakeFailure::kBusy) return Started::kBusy;
    if (why == MakeFailure::kExists) {
      // Made since the run looked: another run's journal, unless it is
      // something no run made.
      platform::FoundFile found = platform::find_private_file(places.beside.c_str(), target);
      platform::close_file(found.file);
      if (found.kind != platform::FoundFile::kForeign) return Started::kBusy;
    }
  }
  const std::string own = journal::own_place(identity_, true);
  MakeFailure own_why = MakeFailure::kNotWritable;
  if (!own.empty()) {
    if (make_file(own, &own_why)) return Started::kJournal;
    // Only this user's runs make journals there.
    if (own_why == MakeFailure::kExists || own_why == MakeFailure::kBusy) return Started::kBusy;
  }
  // The reason the file's own folder gave, unless something else held the
  // place there.
  const bool held = why == MakeFailure::kExists || why == MakeFailure::kTaken;
  why_none_ = try_beside && !held ? why : own_why;
  return Started::kNone;
}

bool RestoreJournal::have_buffers() {
  if (!record_) record_ = platform::allocate_block(static_cast<size_t>(kRecordRoom));
  if (!current_) current_ = platform::allocate_block(static_cast<size_t>(kPiece));
  if (!record_ || !current_) short_of_memory_ = true;
  return record_ && current_;
}

RestoreJournal::Encoding RestoreJournal::begin_record(const int64_t* spans, size_t count) {
  // The spans, as (gap, length) pairs from the record's start, go first.
  unsigned char* out = reinterpret_cast<unsigned char*>(body());
  Encoding encoding;
  encoding.original = Checksum(seed_);
  int64_t used = journal::encode_number(count, out);
  int64_t previous_end = 0;
  for (size_t i = 0; i < count; ++i) {
    const int64_t at = spans[2 * i];
    const int64_t length = spans[2 * i + 1];
    used += journal::encode_number(static_cast<uint64_t>(at - previous_end), out + used);
    used += journal::encode_number(static_cast<uint64_t>(length), out + used);
    previous_end = at + length;
  }
  encoding.used = used;
  return encoding;
}

void RestoreJournal::encode_more(Encoding* encoding, const char* old, const char* now, int64_t size,
                                 const std::vector<int64_t>* changing, int64_t skip, int64_t base,
                                 int64_t spanned) {
  unsigned char* out = reinterpret_cast<unsigned char*>(body());
  int64_t used = encoding->used;
  Checksum& changes = encoding->changes;
  const auto* before = reinterpret_cast<const unsigned char*>(old);
  const auto* after = reinterpret_cast<const unsigned char*>(now);
  // Offsets from here on are from `old`'s start; the entries' from the
  // record's, `base` before it.
  int64_t previous_end = encoding->previous_end - base;
  // One entry: the originals of [i, end), after the gap from the last. A
  // dense edit makes one a few bytes long every few bytes: numbers below
  // 128 take one byte each.
  auto add_entry = [&](int64_t i, int64_t end) {
    const int64_t n = end - i;
    const auto gap = static_cast<uint64_t>(i - previous_end);
    if (gap < 0x80 && n < 0x80) {
      out[used] = static_cast<unsigned char>(gap);
      out[used + 1] = static_cast<unsigned char>(n);
      used += 2;
    } else {
      used += journal::encode_number(gap, out + used);
      used += journal::encode_number(static_cast<uint64_t>(n), out + used);
    }
    if (n >= 8 && n <= 16) {
      std::memcpy(out + used, old + i, 8);
      std::memcpy(out + used + n - 8, old + end - 8, 8);
    } else if (n < 8) {
      for (int64_t k = 0; k < n; ++k)
        out[used + k] = static_cast<unsigned char>(old[i + k]);
    } else {
      std::memcpy(out + used, old + i, static_cast<size_t>(n));
    }
    used += n;
    if (n > 16) {
      encoding->long_entries = true;
    } else {
      changes.change(static_cast<uint64_t>(spanned + i), before + i, after + i,
                     static_cast<size_t>(n));
    }
    previous_end = end;
  };
  const size_t count = changing ? changing->size() : 2;
  // The stretches are in order: those of this piece begin with the first
  // that ends inside it (a write goes to the journal a piece at a time).
  size_t first = 0;
  if (changing) {
    size_t low = 0;
    size_t high = count / 2;
    while (low < high) {
      const size_t middle = (low + high) / 2;
      if ((*changing)[2 * middle + 1] - skip <= 0) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
    first = 2 * low;
  }
  for (size_t s = first; s + 1 < count; s += 2) {
    int64_t i = changing ? (*changing)[s] - skip : 0;
    if (i >= size) break;  // the stretches of the next piece
    int64_t stop = changing ? (*changing)[s + 1] - skip : size;
    i = std::max({i, previous_end, int64_t{0}});
    stop = std::min(stop, size);
    if (i >= stop) continue;
    if (stop - i <= 16) {
      // A short edit, the common case of a dense run: one entry from its
      // first changed byte to its last, found byte by byte.
      while (i < stop && old[i] == now[i])
        ++i;
      if (i == stop) continue;
      int64_t end = stop;
      while (old[end - 1] == now[end - 1])
        --end;
      add_entry(i, end);
      continue;
    }
    while (i < stop) {
      i = first_difference(old, now, i, stop);
      if (i == stop) break;
      const int64_t end = end_of_difference(old, now, i, stop);
      add_entry(i, end);
      i = end;
    }
  }
  encoding->used = used;
  encoding->previous_end = previous_end + base;
}

bool RestoreJournal::append_record(journal::RecordHead head, const Encoding* encoding) {
  if (!store_.on_file()) {
    had_no_place_ = true;
    return false;
  }
  // The file says where its journal is before the journal says anything
  // about it (where the file system keeps marks).
  if (!marked_ && records_ == 0) marked_ = platform::set_mark(target_, name_);
  head.body = encoding ? encoding->used : 0;
  head.original = 0;
  head.written = 0;
  if (encoding) {
    Checksum written = encoding->original;
    written.add_changes(encoding->changes);
    head.original = encoding->original.value();
    head.written = encoding->long_entries ? encoding->written.value() : written.value();
  }
  journal::seal(&head, body(), seed_);
  const int64_t length = static_cast<int64_t>(sizeof head) + head.body + journal::kTrailer;
  std::memcpy(record_, &head, sizeof head);
  std::memcpy(body() + head.body, &length, sizeof length);
  const int64_t at = store_.size();
  // One append: a record cut short by death fails its checksum.
  if (!store_.append(record_, length)) return false;
  ++records_;
  if (head.body > 0 && head.end > floor_) {
    try {
      extents_.push_back({head.offset, head.end, at});
    } catch (const std::bad_alloc&) {
      short_of_memory_ = true;
      return false;
    }
  }
  return true;
}

bool RestoreJournal::keep(platform::FileHandle file, const char* data, int64_t size, int64_t offset,
                          const char* originals, const std::vector<int64_t>* changing) {
  if (!active_ || kept_all_ || size <= 0) return true;
  const int64_t end = offset + size;
  if (last_write_ && records_ == 0 && offset / kPage == (end - 1) / kPage) {
    const int64_t inside = std::max<int64_t>(0, std::min(end, original_size_) - offset);
    try {
      lone_original_.assign(static_cast<size_t>(inside), '\0');
    } catch (const std::bad_alloc&) {
      short_of_memory_ = true;
      return false;
    }
    if (originals) {
      std::memcpy(lone_original_.data(), originals, static_cast<size_t>(inside));
    } else if (inside > 0 && !platform::read_at(file, lone_original_.data(), inside, offset)) {
      return false;
    }
    lone_at_ = offset;
    return true;
  }
  if (!store_.on_file()) {
    had_no_place_ = true;
    return false;
  }
  if (!have_buffers()) return false;
  const int64_t inside = std::min(end, original_size_);
  for (int64_t from = offset; from < inside; from += kPiece) {
    const int64_t n = std::min(kPiece, inside - from);
    const int64_t skip = from - offset;
    const char* old = originals ? originals + skip : current_;
    if (!originals && !platform::read_at(file, current_, n, from)) return false;
    const int64_t span[2] = {0, n};
    Encoding encoding = begin_record(span, 1);
    const int64_t spans_size = encoding.used;
    encode_more(&encoding, old, data + skip, n, changing, skip, 0, 0);
    if (encoding.used == spans_size) continue;  // nothing there changes
    encoding.original.add(old, static_cast<size_t>(n));
    if (encoding.long_entries) {
      encoding.written = Checksum(seed_);
      encoding.written.add(data + skip, static_cast<size_t>(n));
    }
    journal::RecordHead head = {};
    head.kind = journal::kWrite;
    head.offset = from;
    head.end = from + n;
    if (!append_record(head, &encoding)) return false;
  }
  if (end > grown_to_) {
    // The file grows: its new length must be one a recovery expects.
    journal::RecordHead head = {};
    head.kind = journal::kGrowth;
    head.offset = std::max(offset, original_size_);
    head.end = std::min(end + kGrowthStep, journal::kAnyLength);
    if (!append_record(head, nullptr)) return false;
    grown_to_ = head.end;
  }
  return true;
}

bool RestoreJournal::keep_together(platform::FileHandle file, const Part* parts, size_t count,
                                   const std::vector<int64_t>* changing) {
  if (!active_ || kept_all_ || count == 0) return true;
  const Part& first = parts[0];
  const Part& last = parts[count - 1];
  const int64_t end = last.offset + last.size;
  if (end - first.offset > kTogetherSpan || end > original_size_ || !store_.on_file()) {
    // One record a write; `changing` speaks of other offsets than keep()'s,
    // so every byte is compared.
    for (size_t p = 0; p < count; ++p) {
      if (!keep(file, parts[p].data, parts[p].size, parts[p].offset, parts[p].originals))
        return false;
    }
    return true;
  }
  if (!have_buffers()) return false;
  std::vector<int64_t> spans;
  try {
    spans.reserve(2 * count);
    for (size_t p = 0; p < count; ++p) {
      spans.push_back(parts[p].offset - first.offset);
      spans.push_back(parts[p].size);
    }
  } catch (const std::bad_alloc&) {
    short_of_memory_ = true;
    return false;
  }
  Encoding encoding = begin_record(spans.data(), count);
  const int64_t spans_size = encoding.used;
  int64_t spanned = 0;
  for (size_t p = 0; p < count; ++p) {
    const Part& part = parts[p];
    const char* old = part.originals;
    if (!old) {
      if (!platform::read_at(file, current_, part.size, part.offset)) return false;
      old = current_;
    }
    encoding.original.add(old, static_cast<size_t>(part.size));
    encode_more(&encoding, old, part.data, part.size, changing, part.skip,
                part.offset - first.offset, spanned);
    spanned += part.size;
  }
  if (encoding.long_entries) {
    encoding.written = Checksum(seed_);
    for (size_t p = 0; p < count; ++p)
      encoding.written.add(parts[p].data, static_cast<size_t>(parts[p].size));
  }
  if (encoding.used == spans_size) return true;
  journal::RecordHead head = {};
  head.kind = journal::kWrite;
  head.offset = first.offset;
  head.end = end;
  return append_record(head, &encoding);
}

bool RestoreJournal::keep_rest(platform::FileHandle file, int64_t offset, bool overwritten) {
  if (!active_ || offset >= original_size_) return true;
  if (!store_.on_file()) {
    had_no_place_ = true;
    return false;
  }
  if (!have_buffers()) return false;
  // Runs of zeros are left out: lengthening the file brings them back.
  char* zeros = platform::allocate_block(static_cast<size_t>(kPiece));
  if (!zeros) {
    short_of_memory_ = true;
    return false;
  }
  bool ok = true;
  for (int64_t from = offset; ok && from < original_size_; from += kPiece) {
    const int64_t n = std::min(kPiece, original_size_ - from);
    journal::RecordHead head = {};
    head.kind = overwritten ? journal::kCutOverwritten : journal::kCut;
    head.offset = from;
    head.end = from + n;
    ok = platform::read_at(file, current_, n, from);
    if (!ok) break;
    const int64_t span[2] = {0, n};
    Encoding encoding = begin_record(span, 1);
    const int64_t spans_size = encoding.used;
    encoding.original.add(current_, static_cast<size_t>(n));
    encode_more(&encoding, current_, zeros, n, nullptr, 0, 0, 0);
    // The first record of a cut is made even when the rest is all zeros:
    // it holds the length the cut leaves.
    if (encoding.used > spans_size || from == offset) ok = append_record(head, &encoding);
  }
  platform::free_block(zeros, static_cast<size_t>(kPiece));
  return ok;
}

bool RestoreJournal::keep_all_before_rewrite(platform::FileHandle file, bool appending) {
  if (!appending && !keep_rest(file, 0, true)) return false;
  // The file holds its originals until the output is written, after the
  // image has read all of it: the image need not look here for them.
  extents_.clear();
  // Whatever length the output gives the file, a recovery expects it.
  journal::RecordHead head = {};
  head.kind = journal::kGrowth;
  head.offset = original_size_;
  head.end = journal::kAnyLength;
  if (!have_buffers() || !append_record(head, nullptr)) return false;
  kept_all_ = true;
  return true;
}

bool RestoreJournal::begin_map() {
  if (!active_ || !store_.on_file() || !have_buffers()) return false;
  map_ = MapState::kRecording;
  map_failure_ = platform::MakeFailure::kNone;
  map_changes_ = false;
  run_finder_ = RunFinder();
  runs_.clear();
  runs_kept_ = true;
  map_first_ = store_.size();
  map_used_ = 0;
  map_items_ = 0;
  map_record_output_ = 0;
  map_record_image_ = 0;
  map_output_ = 0;
  map_image_ = 0;
  pending_size_ = 0;
  return true;
}

bool RestoreJournal::map_flush() {
  if (map_items_ == 0) return true;
  if (!marked_ && records_ == 0) marked_ = platform::set_mark(target_, name_);
  journal::RecordHead head = {};
  head.kind = journal::kMap;
  head.offset = map_record_output_;
  head.end = map_output_ - pending_size_;
  head.written = static_cast<uint64_t>(map_record_image_);
  head.body = map_used_;
  journal::seal(&head, body(), seed_);
  const int64_t length = static_cast<int64_t>(sizeof head) + head.body + journal::kTrailer;
  std::memcpy(record_, &head, sizeof head);
  std::memcpy(body() + head.body, &length, sizeof length);
  if (!store_.append(record_, length)) {
    map_failure_ = platform::last_failure();
    return false;
  }
  ++records_;
  map_record_output_ = head.end;
  map_record_image_ = map_image_;
  map_used_ = 0;
  map_items_ = 0;
  return true;
}

// Encodes the waiting same or copy item.
bool RestoreJournal::map_pending_out() {
  if (pending_size_ == 0) return true;
  if ((map_used_ + 24 > kBodyRoom || map_items_ >= journal::kMapItems) && !map_flush())
    return false;
  const int64_t output = map_output_ - pending_size_;
  note_item(false, class_of_copy(pending_kind_ == journal::kSame, output, pending_image_), output,
            pending_size_);
  auto* out = reinterpret_cast<unsigned char*>(body());
  map_used_ += journal::encode_number(static_cast<uint64_t>(pending_size_) << 2 | pending_kind_,
                                      out + map_used_);
  map_used_ +=
      journal::encode_number(static_cast<uint64_t>(pending_image_ - map_image_), out + map_used_);
  ++map_items_;
  map_image_ = pending_image_ + pending_size_;
  pending_size_ = 0;
  return true;
}

void RestoreJournal::note_item(bool is_new, int cls, int64_t output, int64_t size) {
  if (!runs_kept_) return;
  // The record being filled goes where the journal ends now.
  const MapCursor at = {store_.size(), {map_used_, output, map_image_}};
  run_finder_.add(at, is_new, cls, output, output + size,
                  [this](const MapRun& run) { keep_run(run); });
}

void RestoreJournal::keep_run(const MapRun& run) {
  if (!runs_kept_) return;
  if (runs_.size() >= kKeptRuns) {
    // Too many to keep: they are found from the map instead.
    runs_kept_ = false;
    std::vector<MapRun>().swap(runs_);
    return;
  }
  runs_.push_back(run);
}

bool RestoreJournal::map_item(uint32_t kind, int64_t position, const char* data, int64_t image,
                              int64_t size) {
  if (size <= 0) return true;
  // The output is mapped in order, as it is made, from where it begins.
  if (map_ != MapState::kRecording) return false;
  if (map_output_ == 0 && map_items_ == 0 && pending_size_ == 0 && records_ == 0)
    map_output_ = map_record_output_ = position;
  if (position != map_output_) return false;
  if (kind != journal::kSame) map_changes_ = true;
  if (kind != journal::kNew) {
    // A copy of bytes an earlier copy took (the matched text of '&', say)
    // is kept as new bytes: the map's copies follow each other in the
    // image.
    const int64_t frontier = pending_size_ > 0 ? pending_image_ + pending_size_ : map_image_;
    if (image < frontier) {
      const int64_t below = std::min(size, frontier - image);
      if (!map_item(journal::kNew, position, data, -1, below)) return false;
      return map_item(kind, position + below, data + below, image + below, size - below);
    }
    if (pending_size_ > 0 && pending_kind_ == kind && image == frontier) {
      pending_size_ += size;
    } else {
      if (!map_pending_out()) return false;
      pending_kind_ = kind;
      pending_image_ = image;
      pending_size_ = size;
    }
    map_output_ += size;
    return true;
  }
  if (!map_pending_out()) return false;
  auto* out = reinterpret_cast<unsigned char*>(body());
  while (size > 0) {
    if ((map_used_ + 24 >= kBodyRoom || map_items_ >= journal::kMapItems) && !map_flush())
      return false;
    const int64_t n = std::min(size, kBodyRoom - map_used_ - 24);
    note_item(true, 0, map_output_, n);
    map_used_ +=
        journal::encode_number(static_cast<uint64_t>(n) << 2 | journal::kNew, out + map_used_);
    std::memcpy(out + map_used_, data, static_cast<size_t>(n));
    map_used_ += n;
    ++map_items_;
    map_output_ += n;
    data += n;
    size -= n;
  }
  return true;
}

bool RestoreJournal::map_same(int64_t position, int64_t size) {
  return map_item(journal::kSame, position, nullptr, position, size);
}

bool RestoreJournal::map_copy(int64_t position, const char* data, int64_t image_offset,
                              int64_t size) {
  return map_item(journal::kCopy, position, data, image_offset, size);
}

bool RestoreJournal::map_new(int64_t position, const char* data, int64_t size) {
  return map_item(journal::kNew, position, data, -1, size);
}

bool RestoreJournal::finish_map(platform::FileHandle target, int64_t length, bool* begun) {
  *begun = false;
  if (map_ != MapState::kRecording || !map_pending_out() || !map_flush()) return false;
  // A map of bytes all in their place: the file stays as it is.
  if (!map_changes_ && length == original_size_) return true;
  // Room for the grown file and for the progress of the moves is set aside
  // first: once the edit begins, no write may fail for want of it.
  const int64_t map_end = store_.size();
  const auto done_length = static_cast<int64_t>(sizeof(journal::RecordHead)) + journal::kTrailer;
  const int64_t slots = map_end + done_length;
  const int64_t chunk = move_chunk_ > 0
                            ? std::min(std::max<int64_t>(move_chunk_, 4096), journal::kMoveChunk)
                            : move_chunk(length);
  const int64_t slots_end = slots + 2 * (static_cast<int64_t>(sizeof(journal::Slot)) + chunk);
  // The slots' last byte, written: a size limit says no now, not later.
  const char zero = 0;
  if (!platform::reserve_room(target, length)) return false;
  if (!platform::reserve_room(store_.file(), slots_end) ||
      !store_.write_past(slots_end - 1, &zero, 1)) {
    map_failure_ = platform::last_failure();
    return false;
  }
  journal::RecordHead head = {};
  head.kind = journal::kMapDone;
  head.offset = head.end = length;
  head.original = static_cast<uint64_t>(slots);
  head.written = static_cast<uint64_t>(chunk);
  journal::seal(&head, body(), seed_);
  std::memcpy(record_, &head, sizeof head);
  std::memcpy(record_ + sizeof head, &done_length, sizeof done_length);
  if (!store_.append(record_, done_length)) {
    map_failure_ = platform::last_failure();
    return false;
  }
  ++records_;
  map_ = MapState::kDone;
  *begun = true;
  MapPlan plan;
  plan.begin = map_first_;
  plan.end = map_end;
  plan.seed = seed_;
  plan.length = length;
  plan.slots = slots;
  plan.chunk = chunk;
  if (runs_kept_) run_finder_.finish([this](const MapRun& run) { keep_run(run); });
  if (runs_kept_) plan.runs = &runs_;
  return apply_map(store_, plan, target);
}

bool RestoreJournal::read_record(int64_t at, journal::RecordHead* head) {
  return store_.read(at, head, sizeof *head) && head->body >= 0 && head->body <= kBodyRoom &&
         store_.read(at + static_cast<int64_t>(sizeof *head), body(), head->body);
}

bool RestoreJournal::play_back(platform::FileHandle file) {
  if (!active_) return true;
  // A map being made has not touched the file; one being carried out can
  // only be finished.
  if (map_ == MapState::kRecording) return true;
  if (map_ == MapState::kDone) return false;
  if (records_ == 0 && lone_at_ >= 0) {
    return platform::write_at(file, lone_original_.data(),
                              static_cast<int64_t>(lone_original_.size()), lone_at_) &&
           platform::set_length(file, original_size_);
  }
  if (records_ == 0) return true;  // nothing was kept
  if (!have_buffers()) return false;
  bool ok = true;
  const bool read = walk_newest_first(store_, store_.size(), body(), kBodyRoom,
                                      [&](const journal::RecordHead& head, const char* bytes) {
                                        ok = journal::write_back(file, head, bytes, current_);
                                        return ok;
                                      });
  return read && ok && platform::set_length(file, original_size_);
}

bool RestoreJournal::put_originals(char* bytes, int64_t offset, int64_t size) {
  // Newest first, so that where a byte was written twice the oldest
  // record, which holds the true original, has the last word.
  for (auto extent = extents_.rbegin(); extent != extents_.rend(); ++extent) {
    if (extent->to <= offset || extent->from >= offset + size) continue;
    journal::RecordHead head;
    if (!read_record(extent->at, &head)) return false;
    journal::for_each_entry(head, body(), [&](int64_t at, const char* original, int64_t n) {
      const int64_t from = std::max(at, offset);
      const int64_t to = std::min(at + n, offset + size);
      if (from < to)
        std::memcpy(bytes + (from - offset), original + (from - at),
                    static_cast<size_t>(to - from));
      return true;
    });
  }
  return true;
}

void RestoreJournal::forget_before(int64_t offset) {
  if (offset <= floor_) return;
  floor_ = offset;
  extents_.erase(std::remove_if(extents_.begin(), extents_.end(),
                                [&](const Extent& e) { return e.to <= floor_; }),
                 extents_.end());
}

void RestoreJournal::finish(bool keep_file) {
  if (store_.on_file()) {
    finished_size_ = store_.peak();
    if (!keep_file) {
      // The mark goes first: a journal without a mark is still found
      // beside the file, a mark without its journal would stop every run.
      if (marked_) platform::remove_mark(target_);
      platform::remove_file(store_.file(), name_.c_str());
    }
    store_.close();
  }
  platform::close_file(target_);
  target_ = platform::kNoFile;
  active_ = false;
  marked_ = false;
  records_ = 0;
  extents_.clear();
}

}  // namespace qk
