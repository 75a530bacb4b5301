// libFuzzer target for the journal reader: recovery on a journal of any
// bytes, beside a small target. The first byte says what to mend so that
// the fuzzer gets past the checksums, which anyone can compute: the head
// (made for this target, with a sound checksum) and every record (sealed
// as a run seals it). The next two bytes give the target's length; its
// bytes follow, then the journal. Whatever the journal says, recovery must
// not crash, must leave the target as it was unless it put it back or
// finished a map, and must put it back to the journal's original size.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "stream/journal_format.h"
#include "stream/recovery.h"

namespace {

std::string read_all(const std::string& path) {
  std::string bytes;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
      bytes.append(buffer, n);
    std::fclose(f);
  }
  return bytes;
}

void write_all(const std::string& path, const std::string& bytes) {
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

// Seals every record that the lengths in their heads lay out, and gives
// each its trailer, as far as the bytes go.
void seal_records(std::string& journal, uint64_t seed) {
  size_t at = sizeof(qk::journal::Head);
  while (at + sizeof(qk::journal::RecordHead) <= journal.size()) {
    qk::journal::RecordHead head;
    std::memcpy(&head, journal.data() + at, sizeof head);
    const size_t room = journal.size() - at - sizeof head;
    if (head.body < 0 || static_cast<uint64_t>(head.body) + qk::journal::kTrailer > room) break;
    const char* body = journal.data() + at + sizeof head;
    qk::journal::seal(&head, body, seed);
    std::memcpy(journal.data() + at, &head, sizeof head);
    const int64_t length = static_cast<int64_t>(sizeof head) + head.body + qk::journal::kTrailer;
    std::memcpy(journal.data() + at + sizeof head + static_cast<size_t>(head.body), &length,
                sizeof length);
    at += static_cast<size_t>(length);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t mend = data[0];
  const size_t target_size = (static_cast<size_t>(data[1]) << 8 | data[2]) % (size - 2);
  const std::string target(reinterpret_cast<const char*>(data) + 3,
                           std::min(target_size, size - 3));
  std::string journal(reinterpret_cast<const char*>(data) + 3 + target.size(),
                      size - 3 - target.size());

  char folder[] = "/tmp/qk-journal-fuzz-XXXXXX";
  if (!mkdtemp(folder)) return 0;
  const std::string path = std::string(folder) + "/f";
  write_all(path, target);
  const qk::platform::FileHandle file =
      qk::platform::open_file(path.c_str(), qk::platform::OpenMode::kUpdate);
  const qk::journal::Places places = qk::journal::places_of(file, path.c_str());

  int64_t original_size = 0;
  if ((mend & 1) && journal.size() >= sizeof(qk::journal::Head)) {
    qk::journal::Head head;
    std::memcpy(&head, journal.data(), sizeof head);
    qk::platform::FileIdentity identity;
    qk::platform::file_identity(file, &identity);
    // Small enough that no run of the fuzzer makes a large file.
    original_size = static_cast<int64_t>(static_cast<uint64_t>(head.original_size) % (1 << 20));
    head = qk::journal::make_head(identity, original_size, head.seed);
    std::memcpy(journal.data(), &head, sizeof head);
    if (mend & 2) seal_records(journal, head.seed);
  }
  write_all(places.beside, journal);

  const qk::Recovered found = qk::recover(places, file, true);
  qk::platform::close_file(file);
  const std::string after = read_all(path);
  // A map that was whole is finished (or left to finish): the file then
  // holds what the map says.
  const bool wrote = found.result == qk::Recovery::kRestored ||
                     found.result == qk::Recovery::kFailed ||
                     found.result == qk::Recovery::kCompleted ||
                     found.result == qk::Recovery::kUnfinished;
  if (!wrote && found.result != qk::Recovery::kNone && after != target)
    std::abort();  // a refused journal changed the file
  if (found.result == qk::Recovery::kRestored &&
      static_cast<int64_t>(after.size()) != original_size)
    std::abort();  // put back to another length than the journal's
  const std::string& rest = places.beside;
  unlink(rest.c_str());
  unlink((rest + ".new").c_str());
  unlink(path.c_str());
  rmdir(folder);
  return 0;
}
