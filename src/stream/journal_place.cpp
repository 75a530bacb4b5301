// The places of a journal; see journal_place.h.
#include "stream/journal_place.h"

#include "stream/journal_format.h"

namespace qk::journal {

Places places_of(platform::FileHandle target, const char* given_name) {
  Places places;
  platform::FileIdentity identity;
  if (!platform::file_identity(target, &identity)) return places;
  const std::string index = std::to_string(identity.index);
  const std::string path = platform::path_of(target);
  const size_t folder_end = path.rfind(platform::kFolderSeparator);
  if (folder_end != std::string::npos)
    places.beside = path.substr(0, folder_end + 1) + "." + index + kSuffix;
  places.own = own_place(identity, false);
  platform::get_mark(target, &places.marked);
  places.older = std::string(given_name) + kSuffix;
  return places;
}

std::string own_place(const platform::FileIdentity& identity, bool make) {
  const std::string folder = platform::private_folder(make);
  if (folder.empty()) return {};
  return folder + platform::kFolderSeparator + std::to_string(identity.device) + "-" +
         std::to_string(identity.index) + kSuffix;
}

}  // namespace qk::journal
