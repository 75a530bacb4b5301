// Where the restore journal of a file lies. It is named after the file's
// identity, not after the name a run was given, and lies in the folder
// that holds the file itself: so every name of the file (a link to it,
// another hard link in that folder, the name it has after a rename there)
// leads to the same journal. Where something that is no journal of this
// user's has that place, the journal goes to a folder of the user's own
// instead; and where the file system keeps marks on files, the file
// itself says where its journal is, which covers a move to another folder
// too. Older QK versions put a journal at the name given, with the suffix
// behind it; such a journal is looked for as well.
#pragma once

#include <string>

#include "platform/platform.h"

namespace qk::journal {

struct Places {
  std::string beside;  // in the file's own folder; empty when it is unknown
  std::string own;     // in this user's journal folder; empty when there is none
  std::string marked;  // the file's mark; empty when it has none
  std::string older;   // where an older QK put it
};

// The places of the journal of `target`, open as `given_name`.
Places places_of(platform::FileHandle target, const char* given_name);

// The journal's place in this user's folder, which is made if `make`;
// empty when there is none.
std::string own_place(const platform::FileIdentity& identity, bool make);

}  // namespace qk::journal
