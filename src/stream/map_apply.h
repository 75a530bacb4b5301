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

#include "platform/platform.h"
#include "stream/journal_store.h"

namespace qk {

struct MapPlan {
  int64_t begin = 0;   // the first map record in the journal
  int64_t end = 0;     // the end of the last one
  uint64_t seed = 0;   // of the journal's checksums
  int64_t length = 0;  // of the output
  int64_t slots = 0;   // where the progress slots lie in the journal
  int64_t chunk = 0;   // the most bytes one write moves (a slot's room for them)
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
