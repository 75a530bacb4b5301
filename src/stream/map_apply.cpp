// Carrying out a map; see map_apply.h. The map's items are classed by how
// far the output lies from the image: copies in their place (class 0), or
// before their bytes (the output shrank: moved to the front, class -1), or
// after them (it grew: to the back, class +1). New bytes go with the
// copies next to them: with the next copy's class, unless that copy stays
// in place and the one before moved (then with that one's), so that they
// are written in the order that keeps every source until it is read.
// Consecutive items of one class make a run; runs are independent of each
// other and are carried out in the order of the output.
#include "stream/map_apply.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "stream/journal_format.h"
#include "stream/output_stream.h"

namespace qk {

namespace {

using journal::MapReader;
using journal::RecordHead;

// The items of one map record, read back from the journal.
class ItemTable {
 public:
  ItemTable() : body_(new char[journal::kBodyRoom]) { items_.reserve(journal::kMapItems); }
  bool load(const JournalStore& store, int64_t at) {
    at_ = at;
    items_.clear();
    RecordHead head;
    if (!store.read(at, &head, sizeof head) || head.kind != journal::kMap || head.body < 0 ||
        head.body > journal::kBodyRoom ||
        !store.read(at + static_cast<int64_t>(sizeof head), body_.get(), head.body))
      return false;
    length_ = static_cast<int64_t>(sizeof head) + head.body + journal::kTrailer;
    MapReader reader(head, body_.get());
    MapReader::Item item;
    while (reader.next(&item))
      items_.push_back(item);
    return reader.ok();
  }
  int64_t at() const { return at_; }
  int64_t length() const { return length_; }
  size_t count() const { return items_.size(); }
  const MapReader::Item& item(size_t i) const { return items_[i]; }

 private:
  std::unique_ptr<char[]> body_;
  std::vector<MapReader::Item> items_;
  int64_t at_ = -1;
  int64_t length_ = 0;
};

struct Cursor {
  int64_t record = -1;
  size_t index = 0;
};

// Walks the map's items forward and back.
class Walker {
 public:
  Walker(const JournalStore& store, const MapPlan& plan) : store_(store), plan_(plan) {}
  bool ok() const { return ok_; }
  const MapReader::Item& item() const { return table_.item(at_.index); }
  Cursor position() const { return at_; }

  bool seek(const Cursor& c) {
    if (table_.at() != c.record && !load(c.record)) return false;
    at_ = c;
    return at_.index < table_.count();
  }
  bool first() {
    for (int64_t record = plan_.begin; record < plan_.end;) {
      if (!load(record)) return false;
      if (table_.count() > 0) {
        at_ = {record, 0};
        return true;
      }
      record += table_.length();
    }
    return false;
  }
  bool next() {
    if (at_.index + 1 < table_.count()) {
      ++at_.index;
      return true;
    }
    for (int64_t record = at_.record + table_.length(); record < plan_.end;) {
      if (!load(record)) return false;
      if (table_.count() > 0) {
        at_ = {record, 0};
        return true;
      }
      record += table_.length();
    }
    return false;
  }
  bool previous() {
    if (at_.index > 0) {
      --at_.index;
      return true;
    }
    for (int64_t record = at_.record; record > plan_.begin;) {
      int64_t length = 0;
      if (!store_.read(record - journal::kTrailer, &length, sizeof length) || length <= 0 ||
          length > record - plan_.begin) {
        ok_ = false;
        return false;
      }
      record -= length;
      if (!load(record)) return false;
      if (table_.count() > 0) {
        at_ = {record, table_.count() - 1};
        return true;
      }
    }
    return false;
  }

 private:
  bool load(int64_t record) {
    ok_ = table_.load(store_, record);
    return ok_;
  }
  const JournalStore& store_;
  const MapPlan& plan_;
  ItemTable table_;
  Cursor at_;
  bool ok_ = true;
};

int class_of(const MapReader::Item& item) {
  if (item.kind == journal::kSame || item.output == item.image) return 0;
  return item.output < item.image ? -1 : 1;
}

struct Run {
  int cls = 0;
  Cursor first;
  Cursor last;
  int64_t begin = 0;  // its output range
  int64_t end = 0;
};

// A read-ahead of the target's bytes that moved runs are made of.
class Sources {
 public:
  static constexpr int64_t kRoom = 2 * journal::kMoveChunk;
  Sources() : bytes_(new char[kRoom]) {}
  // The bytes [at, at + n) (n at most kMoveChunk), read going `forward`
  // or back.
  const char* get(platform::FileHandle target, int64_t at, int64_t n, bool forward) {
    if (at >= from_ && at + n <= from_ + size_) return bytes_.get() + (at - from_);
    from_ = forward ? at : std::max<int64_t>(0, at + n - kRoom);
    size_ = forward ? kRoom : at + n - from_;
    const int64_t file = platform::file_size(target);
    if (from_ + size_ > file) size_ = file - from_;
    if (size_ < n + (at - from_) || !platform::read_at(target, bytes_.get(), size_, from_)) {
      size_ = 0;
      return nullptr;
    }
    return bytes_.get() + (at - from_);
  }

 private:
  std::unique_ptr<char[]> bytes_;
  int64_t from_ = 0;
  int64_t size_ = 0;
};

class Applier {
 public:
  Applier(JournalStore& journal, const MapPlan& plan, platform::FileHandle target)
      : journal_(journal),
        plan_(plan),
        target_(target),
        chunk_(new char[static_cast<size_t>(slot_room())]),
        scan_(journal, plan),
        walker_(journal, plan) {}

  // The target is the caller's: the stream that wrote to it lets go.
  ~Applier() {
    if (replay_) replay_->release();
  }

  bool run() {
    read_progress();
    if (!ok_) return false;
    if (!done_) segment();
    if (ok_ && replay_) ok_ = replay_->release();
    if (ok_ && !done_) note_all_done();
    return ok_ && platform::set_length(target_, plan_.length);
  }

 private:
  // The newest sound slot says where a run of moves stopped.
  void read_progress() {
    for (int k = 0; k < 2; ++k) {
      journal::Slot slot;
      const int64_t at = plan_.slots + k * slot_room();
      if (!journal_.read_past(at, &slot, sizeof slot)) continue;
      if (slot.size > plan_.chunk) continue;
      if (slot.size > 0 && !journal_.read_past(at + static_cast<int64_t>(sizeof slot),
                                               chunk_.get() + sizeof slot, slot.size))
        continue;
      if (!journal::slot_is_sound(slot, chunk_.get() + sizeof slot, plan_.seed)) continue;
      if (resume_ && slot.sequence <= resume_slot_.sequence) continue;
      resume_ = true;
      resume_slot_ = slot;
      resume_data_.assign(chunk_.get() + sizeof slot, slot.size);
    }
    if (!resume_) return;
    sequence_ = resume_slot_.sequence + 1;
    done_ = resume_slot_.run == kAllDone;
  }

  // Classes the items, gathers them into runs and carries out each one.
  void segment() {
    if (!scan_.first()) {
      ok_ = scan_.ok();
      return;
    }
    Run run;
    bool have_run = false;
    bool pending = false;  // new bytes waiting for the next copy's class
    Cursor pending_first;
    Cursor pending_last;
    int64_t pending_begin = 0;
    int64_t pending_end = 0;
    auto add = [&](const Cursor& first, const Cursor& last, int64_t begin, int64_t end, int cls) {
      if (have_run && cls == run.cls) {
        run.last = last;
        run.end = end;
        return;
      }
      if (have_run) carry_out(run);
      run = {cls, first, last, begin, end};
      have_run = true;
    };
    do {
      const MapReader::Item item = scan_.item();
      const Cursor here = scan_.position();
      if (item.kind == journal::kNew) {
        if (!pending) {
          pending = true;
          pending_first = here;
          pending_begin = item.output;
        }
        pending_last = here;
        pending_end = item.output + item.length;
        continue;
      }
      const int cls = class_of(item);
      if (pending) {
        const int with = cls == 0 && have_run && run.cls != 0 ? run.cls : cls;
        add(pending_first, pending_last, pending_begin, pending_end, with);
        pending = false;
      }
      add(here, here, item.output, item.output + item.length, cls);
      if (!ok_) return;
    } while (scan_.next() && ok_);
    if (!scan_.ok()) ok_ = false;
    if (ok_ && pending)
      add(pending_first, pending_last, pending_begin, pending_end, have_run ? run.cls : 0);
    if (ok_ && have_run) carry_out(run);
  }

  void carry_out(const Run& run) {
    if (!ok_) return;
    // Runs before the one that was stopped are done; it goes on from where
    // it was.
    if (resume_ && run.begin < resume_slot_.run) return;
    int64_t from = run.cls < 0 ? run.begin : run.end;
    if (resume_ && run.begin == resume_slot_.run) {
      resume_ = false;
      if (!resume_data_.empty()) {
        ok_ = platform::write_at(target_, resume_data_.data(),
                                 static_cast<int64_t>(resume_data_.size()), resume_slot_.begin);
        from = run.cls < 0 ? resume_slot_.end : resume_slot_.begin;
      } else {
        from = run.cls < 0 ? resume_slot_.begin : resume_slot_.end;
      }
      if (!ok_) return;
    } else if (resume_) {
      // The stopped run begins no run of the map.
      ok_ = false;
      return;
    }
    if (run.cls == 0) {
      replay(run);
    } else {
      if (replay_) {
        replay_->flush();
        if (replay_->error()) ok_ = false;
      }
      move(run, from);
    }
  }

  // Items in their place, as intelligent writing writes them.
  void replay(const Run& run) {
    if (!replay_) {
      replay_.reset(new OutputStream);
      replay_->attach(target_, false);
    }
    OutputStream& out = *replay_;
    if (!out.seek_relative(run.begin - out.position())) {
      ok_ = false;
      return;
    }
    if (!walker_.seek(run.first)) {
      ok_ = false;
      return;
    }
    char* bytes = chunk_.get();
    for (;;) {
      const MapReader::Item item = walker_.item();
      if (item.kind == journal::kNew) {
        out.write(item.data, item.length);
      } else if (item.kind == journal::kSame) {
        // The stream reads all of a short pass, and of a long one the
        // first block at most.
        const int64_t read =
            item.length <= 4 * OutputStream::kBlock ? item.length : OutputStream::kBlock;
        if (!platform::read_at(target_, bytes, read, item.image)) {
          ok_ = false;
          return;
        }
        out.pass_over(bytes, item.length);
      } else {
        for (int64_t done = 0; done < item.length;) {
          const int64_t n = std::min(plan_.chunk, item.length - done);
          if (!platform::read_at(target_, bytes, n, item.image + done)) {
            ok_ = false;
            return;
          }
          out.write(bytes, n);
          done += n;
        }
      }
      if (walker_.position().record == run.last.record &&
          walker_.position().index == run.last.index)
        break;
      if (!walker_.next()) {
        ok_ = false;
        return;
      }
    }
    if (out.error()) ok_ = false;
  }

  // A run of moved items: to the front from its start (class -1), to the
  // back from its end (class +1), a chunk at a time, from output offset
  // `from` on (or back).
  void move(const Run& run, int64_t from) {
    const bool forward = run.cls < 0;
    if (!walker_.seek(forward ? run.first : run.last)) {
      ok_ = false;
      return;
    }
    char* chunk = chunk_.get() + sizeof(journal::Slot);
    int64_t filled = 0;
    int64_t low = INT64_MAX;  // the sources of the chunk
    int64_t high = -1;
    // Going back, the chunk fills from its end.
    auto put = [&]() {
      if (filled == 0) return;
      const int64_t begin = forward ? from : from - filled;
      const char* bytes = forward ? chunk : chunk + (plan_.chunk - filled);
      const bool overlaps = high > begin && low < begin + filled;
      put_chunk(run.begin, begin, bytes, filled, overlaps);
      from = forward ? from + filled : from - filled;
      filled = 0;
      low = INT64_MAX;
      high = -1;
    };
    for (;;) {
      const MapReader::Item item = walker_.item();
      const int64_t item_end = item.output + item.length;
      // The part of the item still to be done.
      int64_t a = item.output;
      int64_t b = item_end;
      if (forward) a = std::max(a, from + filled);
      if (!forward) b = std::min(b, from - filled);
      while (a < b && ok_) {
        const int64_t room = plan_.chunk - filled;
        const int64_t n = std::min(room, b - a);
        // Forward the part [a, a + n) goes next; back, [b - n, b).
        const int64_t at = forward ? a : b - n;
        char* to = forward ? chunk + filled : chunk + (room - n);
        if (item.kind == journal::kNew) {
          std::memcpy(to, item.data + (at - item.output), static_cast<size_t>(n));
        } else {
          const int64_t source = item.image + (at - item.output);
          const char* bytes = sources_.get(target_, source, n, forward);
          if (!bytes) {
            ok_ = false;
            return;
          }
          std::memcpy(to, bytes, static_cast<size_t>(n));
          low = std::min(low, source);
          high = std::max(high, source + n);
        }
        filled += n;
        if (forward) a += n;
        if (!forward) b -= n;
        if (filled == plan_.chunk) put();
      }
      if (!ok_) return;
      const Cursor end = forward ? run.last : run.first;
      if (walker_.position().record == end.record && walker_.position().index == end.index) break;
      if (!(forward ? walker_.next() : walker_.previous())) {
        ok_ = false;
        return;
      }
    }
    put();
  }

  // One write of moved bytes, noted in a progress slot first: with the
  // bytes themselves when the write overwrites some of what it is made of.
  void put_chunk(int64_t run, int64_t begin, const char* bytes, int64_t n, bool with_bytes) {
    if (!ok_) return;
    char* slot_bytes = chunk_.get() + sizeof(journal::Slot);
    if (with_bytes && bytes != slot_bytes) std::memmove(slot_bytes, bytes, static_cast<size_t>(n));
    journal::Slot slot = {};
    slot.size = with_bytes ? static_cast<uint32_t>(n) : 0;
    slot.sequence = sequence_++;
    slot.run = run;
    slot.begin = begin;
    slot.end = begin + n;
    journal::seal_slot(&slot, slot_bytes, plan_.seed);
    std::memcpy(chunk_.get(), &slot, sizeof slot);
    const int64_t at = plan_.slots + static_cast<int64_t>(slot.sequence % 2) * slot_room();
    ok_ = journal_.write_past(at, chunk_.get(), static_cast<int64_t>(sizeof slot) + slot.size) &&
          platform::write_at(target_, with_bytes ? slot_bytes : bytes, n, begin);
  }

  // Every move is made: a later run only sets the length.
  void note_all_done() {
    journal::Slot slot = {};
    slot.sequence = sequence_++;
    slot.run = kAllDone;
    slot.begin = slot.end = plan_.length;
    journal::seal_slot(&slot, nullptr, plan_.seed);
    const int64_t at = plan_.slots + static_cast<int64_t>(slot.sequence % 2) * slot_room();
    ok_ = journal_.write_past(at, &slot, sizeof slot);
  }

  static constexpr int64_t kAllDone = INT64_MAX / 2;
  int64_t slot_room() const { return static_cast<int64_t>(sizeof(journal::Slot)) + plan_.chunk; }

  JournalStore& journal_;
  const MapPlan& plan_;
  platform::FileHandle target_;
  std::unique_ptr<char[]> chunk_;  // a slot's head and a chunk's bytes
  Walker scan_;                    // finds the runs
  Walker walker_;                  // carries one out
  Sources sources_;
  std::unique_ptr<OutputStream> replay_;
  uint64_t sequence_ = 1;
  bool resume_ = false;
  bool done_ = false;
  journal::Slot resume_slot_ = {};
  std::string resume_data_;
  bool ok_ = true;
};

}  // namespace

int64_t move_chunk(int64_t length) {
  int64_t chunk = 4096;
  while (chunk < length && chunk < journal::kMoveChunk)
    chunk *= 2;
  return chunk;
}

bool apply_map(JournalStore& journal, const MapPlan& plan, platform::FileHandle target) {
  Applier applier(journal, plan, target);
  return applier.run();
}

}  // namespace qk
