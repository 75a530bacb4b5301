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

using Cursor = MapCursor;
using Run = MapRun;

// One map record read back from the journal: its head and body.
class MapRecord {
 public:
  MapRecord() : body_(new char[journal::kBodyRoom]) {}
  bool load(const JournalStore& store, int64_t at) {
    at_ = -1;
    if (!store.read(at, &head_, sizeof head_) || head_.kind != journal::kMap || head_.body < 0 ||
        head_.body > journal::kBodyRoom ||
        !store.read(at + static_cast<int64_t>(sizeof head_), body_.get(), head_.body))
      return false;
    at_ = at;
    return true;
  }
  int64_t at() const { return at_; }
  int64_t length() const {
    return static_cast<int64_t>(sizeof head_) + head_.body + journal::kTrailer;
  }
  MapReader reader() const { return MapReader(head_, body_.get()); }

 private:
  std::unique_ptr<char[]> body_;
  RecordHead head_ = {};
  int64_t at_ = -1;
};

// Reads the map's items in order, decoding each as it comes.
class ForwardWalker {
 public:
  ForwardWalker(const JournalStore& store, const MapPlan& plan) : store_(store), plan_(plan) {}
  bool ok() const { return ok_; }
  const MapReader::Item& item() const { return item_; }
  const Cursor& position() const { return here_; }  // where item() begins

  // False for a map without items (an empty output).
  bool first() { return plan_.begin < plan_.end && load(plan_.begin) && next(); }
  // To the item at `c` (one that position() gave).
  bool seek(const Cursor& c) {
    if (record_.at() != c.record && !load(c.record)) return false;
    reader_.go_to(c.where);
    return next();
  }
  bool next() {
    for (;;) {
      here_ = {record_.at(), reader_.where()};
      if (reader_.next(&item_)) return true;
      if (!reader_.ok()) return ok_ = false;
      const int64_t following = record_.at() + record_.length();
      if (following >= plan_.end || !load(following)) return false;
    }
  }

 private:
  bool load(int64_t at) {
    ok_ = record_.load(store_, at);
    if (ok_) reader_ = record_.reader();
    return ok_;
  }
  const JournalStore& store_;
  const MapPlan& plan_;
  MapRecord record_;
  MapReader reader_;
  MapReader::Item item_ = {};
  Cursor here_;
  bool ok_ = true;
};

// Reads the map's items backwards, a record's items at a time.
class BackWalker {
 public:
  BackWalker(const JournalStore& store, const MapPlan& plan) : store_(store), plan_(plan) {
    items_.reserve(journal::kMapItems);
    starts_.reserve(journal::kMapItems);
  }
  bool ok() const { return ok_; }
  const MapReader::Item& item() const { return items_[index_]; }
  bool at(const Cursor& c) const {
    return record_.at() == c.record && starts_[index_].at == c.where.at;
  }

  bool seek(const Cursor& c) {
    if (record_.at() != c.record && !load(c.record)) return false;
    for (index_ = 0; index_ < items_.size(); ++index_)
      if (starts_[index_].at == c.where.at) return true;
    return ok_ = false;
  }
  bool previous() {
    if (index_ > 0) {
      --index_;
      return true;
    }
    for (int64_t record = record_.at(); record > plan_.begin;) {
      int64_t length = 0;
      if (!store_.read(record - journal::kTrailer, &length, sizeof length) || length <= 0 ||
          length > record - plan_.begin)
        return ok_ = false;
      record -= length;
      if (!load(record)) return false;
      if (!items_.empty()) {
        index_ = items_.size() - 1;
        return true;
      }
    }
    return false;
  }

 private:
  bool load(int64_t at) {
    items_.clear();
    starts_.clear();
    ok_ = record_.load(store_, at);
    if (!ok_) return false;
    MapReader reader = record_.reader();
    for (;;) {
      const MapReader::Where where = reader.where();
      MapReader::Item item;
      if (!reader.next(&item)) break;
      items_.push_back(item);
      starts_.push_back(where);
    }
    ok_ = reader.ok();
    return ok_;
  }
  const JournalStore& store_;
  const MapPlan& plan_;
  MapRecord record_;
  std::vector<MapReader::Item> items_;
  std::vector<MapReader::Where> starts_;
  size_t index_ = 0;
  bool ok_ = true;
};

int class_of(const MapReader::Item& item) {
  return class_of_copy(item.kind == journal::kSame, item.output, item.image);
}

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
        feed_(journal, plan),
        back_(journal, plan) {}

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

  // Gathers the items into runs (or takes the runs found as the map was
  // made) and carries out each one.
  void segment() {
    if (plan_.runs) {
      for (const Run& run : *plan_.runs) {
        carry_out(run);
        if (!ok_) return;
      }
      return;
    }
    if (!scan_.first()) {
      ok_ = scan_.ok();
      return;
    }
    auto carry = [this](const Run& run) { carry_out(run); };
    RunFinder finder;
    do {
      const MapReader::Item& item = scan_.item();
      finder.add(scan_.position(), item.kind == journal::kNew, class_of(item), item.output,
                 item.output + item.length, carry);
    } while (ok_ && scan_.next());
    if (!scan_.ok()) ok_ = false;
    if (ok_) finder.finish(carry);
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
      if (run.cls < 0) {
        move_forward(run, from);
      } else {
        move_back(run, from);
      }
    }
  }

  // Items in their place, as intelligent writing writes them.
  void replay(const Run& run) {
    if (!replay_) {
      replay_.reset(new OutputStream);
      replay_->attach(target_, false);
    }
    OutputStream& out = *replay_;
    if (!out.seek_relative(run.begin - out.position()) || !feed_.seek(run.first)) {
      ok_ = false;
      return;
    }
    char* bytes = chunk_.get();
    for (;;) {
      const MapReader::Item& item = feed_.item();
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
      if (feed_.position() == run.last) break;
      if (!feed_.next()) {
        ok_ = false;
        return;
      }
    }
    if (out.error()) ok_ = false;
  }

  // The `n` bytes of `item` at output offset `at`: its new bytes, or the
  // target's bytes it copies (read going `forward` or back), whose range
  // widens [low, high); null when they could not be read.
  const char* bytes_of(const MapReader::Item& item, int64_t at, int64_t n, bool forward,
                       int64_t* low, int64_t* high) {
    if (item.kind == journal::kNew) return item.data + (at - item.output);
    const int64_t source = item.image + (at - item.output);
    *low = std::min(*low, source);
    *high = std::max(*high, source + n);
    return sources_.get(target_, source, n, forward);
  }

  // A run whose output lies before its bytes: carried out from its start,
  // a chunk at a time, from output offset `from` on.
  void move_forward(const Run& run, int64_t from) {
    if (!feed_.seek(run.first)) {
      ok_ = false;
      return;
    }
    char* chunk = chunk_.get() + sizeof(journal::Slot);
    int64_t filled = 0;
    int64_t low = INT64_MAX;  // the sources of the chunk
    int64_t high = -1;
    for (;;) {
      const MapReader::Item& item = feed_.item();
      const int64_t b = item.output + item.length;
      for (int64_t a = std::max(item.output, from + filled); a < b;) {
        const int64_t n = std::min(plan_.chunk - filled, b - a);
        const char* bytes = bytes_of(item, a, n, true, &low, &high);
        if (!bytes) {
          ok_ = false;
          return;
        }
        std::memcpy(chunk + filled, bytes, static_cast<size_t>(n));
        filled += n;
        a += n;
        if (filled == plan_.chunk) {
          put_chunk(run.begin, from, chunk, filled, high > from && low < from + filled);
          if (!ok_) return;
          from += filled;
          filled = 0;
          low = INT64_MAX;
          high = -1;
        }
      }
      if (feed_.position() == run.last) break;
      if (!feed_.next()) {
        ok_ = false;
        return;
      }
    }
    if (filled > 0) put_chunk(run.begin, from, chunk, filled, high > from && low < from + filled);
  }

  // A run whose output lies after its bytes: carried out from its end, a
  // chunk at a time, from output offset `from` back. The chunk fills from
  // its end.
  void move_back(const Run& run, int64_t from) {
    if (!back_.seek(run.last)) {
      ok_ = false;
      return;
    }
    char* chunk = chunk_.get() + sizeof(journal::Slot);
    int64_t filled = 0;
    int64_t low = INT64_MAX;
    int64_t high = -1;
    auto put = [&]() {
      const int64_t begin = from - filled;
      put_chunk(run.begin, begin, chunk + (plan_.chunk - filled), filled,
                high > begin && low < from);
      from = begin;
      filled = 0;
      low = INT64_MAX;
      high = -1;
    };
    for (;;) {
      const MapReader::Item& item = back_.item();
      for (int64_t b = std::min(item.output + item.length, from - filled); b > item.output;) {
        const int64_t n = std::min(plan_.chunk - filled, b - item.output);
        const int64_t at = b - n;
        const char* bytes = bytes_of(item, at, n, false, &low, &high);
        if (!bytes) {
          ok_ = false;
          return;
        }
        filled += n;
        std::memcpy(chunk + (plan_.chunk - filled), bytes, static_cast<size_t>(n));
        b = at;
        if (filled == plan_.chunk) {
          put();
          if (!ok_) return;
        }
      }
      if (back_.at(run.first)) break;
      if (!back_.previous()) {
        ok_ = false;
        return;
      }
    }
    if (filled > 0) put();
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
  ForwardWalker scan_;             // finds the runs
  ForwardWalker feed_;             // carries out one from its start
  BackWalker back_;                // or from its end
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
