// Recovery from a run that died in the middle of an in-place edit (killed,
// out of memory, the machine's process limits): the journal it left beside
// the target puts the target back as it was before that run. A journal is
// applied only when everything about it holds: a plain file, not a link,
// owned by this user (or the administrator) and written by nobody else;
// sound head and records; made for this very file (its identity); and the
// file as the dead run can have left it (its length, and every range a
// record describes holding the bytes that run wrote there or the
// originals, one range a mix of both, in the order runs write and play
// back). Otherwise nothing is touched. Applying is safe to interrupt: the
// journal stays until the target is whole, and applying it again gives
// the same file.
#pragma once

#include "platform/platform.h"

namespace qk {

enum class Recovery {
  kNone,       // no journal
  kRestored,   // the target was put back and the journal removed
  kNotOurs,    // another user's, or others may write it
  kOtherFile,  // made for another file
  kChanged,    // the file changed since the journal was made
  kDamaged,    // not a plain file, or not a sound journal
  kFailed,     // putting the target back failed; the journal stays
};

// Looks for the journal of `target_name` and, when it finds a sound one,
// puts the target, open for update as `target`, back with it and removes
// it. The caller holds the target's lock.
Recovery recover(const char* target_name, platform::FileHandle target);

}  // namespace qk
