// Recovery from a run that died in the middle of an in-place edit (killed,
// out of memory, the machine's process limits): the journal it left puts
// the target back as it was before that run. A run looks for a journal at
// every place one of the file's can be (journal_place.h) before it reads
// the file, and:
// - passes over what no run of anyone who may write the file can have
//   made (not a plain file, a second name, open to others, or owned by a
//   user who may not write the file): it neither blocks nor is applied;
// - leaves alone another user's journal, and one this user may not read,
//   and says whose it is;
// - stops at a journal whose run still holds its lock: that run is alive;
// - applies this user's (or the administrator's) only when everything
//   about it holds: sound head and records, made for this very file (its
//   identity, and when it was made), and the file as the dead run can have
//   left it (its length, and every byte of every stretch a record is about
//   as the run left it there, or as it was, one stretch a mix of both: the
//   write or put-back that death cut short). Otherwise nothing is touched.
// Applying is safe to interrupt and to fail part-way (a full disk): it
// stops at the first write that fails, the journal stays and still fits,
// and applying it again later gives the same file.
#pragma once

#include <string>

#include "platform/platform.h"
#include "stream/journal_place.h"

namespace qk {

enum class Recovery {
  kNone,         // no journal
  kRestored,     // the target was put back and the journal removed
  kCompleted,    // the dead run's edit was finished from its map, the journal removed
  kBusy,         // another run is editing the target: its journal is locked
  kOtherUser,    // another user's journal, or one this user may not read
  kOtherFile,    // made for another file
  kChanged,      // the file changed since the journal was made
  kDamaged,      // not a sound journal
  kOlderFormat,  // made by an older QK
  kLost,         // the file's mark names a journal that is not there
  kUnwritable,   // this run may not write the target to apply the journal
  kFailed,       // putting the target back failed; the journal stays
  kUnfinished,   // finishing an edit from its map failed; the journal stays
};

struct Recovered {
  Recovery result = Recovery::kNone;
  std::string journal;  // the journal's place
  std::string owner;    // kOtherUser: whose it is
  // The place beside the target is held by something that is no journal
  // (the run's own journal must go elsewhere).
  bool beside_taken = false;
};

// Looks for a dead run's journal of `target` at `places` and, when it finds
// a sound one, puts the target back with it (through `target`, which must
// be open for writing when `writable`) and removes it.
Recovered recover(const journal::Places& places, platform::FileHandle target, bool writable);

}  // namespace qk
