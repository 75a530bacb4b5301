// Carrying out an edit's map in place: every byte of the output to its
// place in the target, read from where the file holds it now or from the
// map's new bytes. An edit that changes the file's length moves most of
// the file: where the output lies before the bytes it is made of (a
// shrinking stretch) the moves go from the front, where it lies after them
// (a growing stretch) from the back, so that no write overwrites bytes a
// later one still needs. Each write of moved bytes is first noted in one of
// the journal's two progress slots, with the bytes themselves when the
// write overwrites some of what it is made of; so a run that dies, or
// fails part way, leaves what the next run needs to go on from there, and
// carrying out the rest of the map gives the finished file. Stretches that
// stay in their place are written as intelligent writing writes them: the
// changed bytes, joined with their neighbours in the same and the next
// 4 KiB block.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"
#include "stream/journal_format.h"
#include "stream/journal_store.h"

namespace qk {

// Where an item of the map begins: the record, and the place in its body.
struct MapCursor {
  int64_t record = -1;
  journal::MapReader::Where where;
  bool operator==(const MapCursor& o) const { return record == o.record && where.at == o.where.at; }
};

// A stretch of the output whose items are carried out together: in their
// place (cls 0), moved to the front from its start (-1: the output lies
// before the bytes it is made of), or to the back from its end (+1).
struct MapRun {
  int cls = 0;
  MapCursor first;  // its first and last item
  MapCursor last;
  int64_t begin = 0;  // its output range
  int64_t end = 0;
};

// Gathers a map's items, in the order of the output, into runs. New bytes
// go with the copies next to them: with the next copy's class, unless that
// copy stays in place and the one before moved (then with that one's), so
// that they are written in the order that keeps every source until it is
// read. add() and finish() call done(run) for each run as it is closed.
class RunFinder {
 public:
  template <typename F>
  void add(const MapCursor& at, bool is_new, int cls, int64_t begin, int64_t end, F&& done) {
    if (is_new) {
      if (!pending_) {
        pending_ = true;
        pending_first_ = at;
        pending_begin_ = begin;
      }
      pending_last_ = at;
      pending_end_ = end;
      return;
    }
    if (pending_) {
      pending_ = false;
      const int with = cls == 0 && have_ && run_.cls != 0 ? run_.cls : cls;
      join(pending_first_, pending_last_, pending_begin_, pending_end_, with, done);
    }
    join(at, at, begin, end, cls, done);
  }
  template <typename F>
  void finish(F&& done) {
    if (pending_) {
      pending_ = false;
      join(pending_first_, pending_last_, pending_begin_, pending_end_, have_ ? run_.cls : 0, done);
    }
    if (have_) done(run_);
    have_ = false;
  }

 private:
  template <typename F>
  void join(const MapCursor& first, const MapCursor& last, int64_t begin, int64_t end, int cls,
            F& done) {
    if (have_ && cls == run_.cls) {
      run_.last = last;
      run_.end = end;
      return;
    }
    if (have_) done(run_);
    run_ = {cls, first, last, begin, end};
    have_ = true;
  }
  MapRun run_;
  bool have_ = false;
  bool pending_ = false;  // new bytes waiting for the next copy's class
  MapCursor pending_first_;
  MapCursor pending_last_;
  int64_t pending_begin_ = 0;
  int64_t pending_end_ = 0;
};

// The class of a copy to output offset `output` of the image bytes from
// `image` (bytes `in_place` are passed over).
inline int class_of_copy(bool in_place, int64_t output, int64_t image) {
  if (in_place || output == image) return 0;
  return output < image ? -1 : 1;
}

struct MapPlan {
  int64_t begin = 0;   // the first map record in the journal
  int64_t end = 0;     // the end of the last one
  uint64_t seed = 0;   // of the journal's checksums
  int64_t length = 0;  // of the output
  int64_t slots = 0;   // where the progress slots lie in the journal
  int64_t chunk = 0;   // the most bytes one write moves (a slot's room for them)
  // The map's runs, when the run that made the map found them as it went;
  // otherwise they are found from the map.
  const std::vector<MapRun>* runs = nullptr;
};

// How many bytes one write of moves takes for an output of `length`
// bytes: small files keep small slots.
int64_t move_chunk(int64_t length);

// Carries out the map, going on from where the progress slots say a run
// stopped, and sets the output's length. False when the target or the
// journal could not be written or read: the journal still says how to go
// on.
bool apply_map(JournalStore& journal, const MapPlan& plan, platform::FileHandle target);

}  // namespace qk
