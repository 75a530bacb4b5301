// Platform calls that are made of other platform calls, the same on every
// operating system.
#include "platform/platform.h"

namespace qk::platform {

bool set_length_by_name(const char* name, int64_t length) {
  FileHandle file = open_file(name, OpenMode::kUpdate);
  if (file == kNoFile) return false;
  bool ok = set_length(file, length);
  return close_file(file) && ok;
}

}  // namespace qk::platform
