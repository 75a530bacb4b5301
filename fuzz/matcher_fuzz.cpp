// libFuzzer target for the matcher alone: every match the fast scan finds,
// on every scan path this processor runs, must be the one a plain reading
// of the rules finds. The input's first byte picks the settings (case, the
// -% anchor, the wildcard, the scan path, a streamed image), the second
// the search text's length; the search text follows (anchors in it are
// taken off as for a run), and the rest is the image, which for a streamed
// image is repeated to a few 4 KiB chunks so that matches cross their
// edges.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/matcher.h"
#include "engine/pair_scan.h"
#include "engine/reference_scan.h"
#include "fileio/image.h"
#include "platform/platform.h"
#include "state/run.h"

namespace {

constexpr int64_t kChunk = 4096;

bool set_up_image(qk::Run& run, const std::string& image, bool streamed) {
  if (!streamed) {
    qk::use_memory_image(run.image, image.data(), static_cast<int64_t>(image.size()));
    return true;
  }
  char path[] = "/tmp/qk-matcher-fuzz-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return false;
  const bool written = write(fd, image.data(), image.size()) == static_cast<ssize_t>(image.size());
  close(fd);
  run.image.chunk_size = kChunk;
  const qk::platform::FileHandle file =
      qk::platform::open_file(path, qk::platform::OpenMode::kRead);
  unlink(path);  // the open handle keeps it readable
  return written && qk::open_streamed_image(run, file, static_cast<int64_t>(image.size()));
}

void check(const uint8_t* data, size_t size, qk::ScanPath path) {
  const uint8_t flags = data[0];
  size_t length = data[1] % 64;
  if (flags & 0x80) length *= 16;  // long search texts
  const size_t used = 2 + length < size ? 2 + length : size;
  std::string search(reinterpret_cast<const char*>(data) + 2, used - 2);
  std::string image(reinterpret_cast<const char*>(data) + used, size - used);
  const bool streamed = (flags & 0x40) != 0;
  if (streamed && !image.empty()) {
    // Some images are wider than the window of chunks the image keeps,
    // which then moves along them.
    const size_t chunks = (flags & 0x10) ? 20 : 3;
    const std::string piece = image;
    while (image.size() < chunks * kChunk + piece.size())
      image += piece;
  }

  qk::Run run;
  run.plan.path = path;
  run.settings.case_sensitive = (flags & 1) ? 'C' : 0;
  if (flags & 2) run.settings.end_anchor = '%';
  if ((flags & 0x0C) == 4) run.settings.special[1] = 'a';
  if ((flags & 0x0C) == 8) {
    run.settings.special[1] = 0;
    run.settings.disabled[1] = '1';
  }
  run.texts.search_buffer.assign(search.begin(), search.end());
  run.texts.search_buffer.push_back('\0');
  run.texts.search = run.texts.search_buffer.data();
  run.texts.search_len = static_cast<uint32_t>(search.size());
  qk::prepare_search(run);
  const std::string text(run.texts.search, run.texts.search_len);
  if (!set_up_image(run, image, streamed)) return;
  run.writer.cursor = 0;

  int64_t from = 0;
  for (;;) {
    qk::find_match(run, from);
    const int64_t expected = qk::test::reference_find(image, text, from, run.settings);
    if (run.match.offset != expected) {
      std::fprintf(stderr, "path %d: from %lld found %lld, the rules say %lld\n",
                   static_cast<int>(path), static_cast<long long>(from),
                   static_cast<long long>(run.match.offset), static_cast<long long>(expected));
      std::abort();
    }
    if (expected < 0) return;
    from = expected + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  for (qk::ScanPath path : {qk::ScanPath::kPlain, qk::ScanPath::kSse2, qk::ScanPath::kAvx2})
    if (qk::scan_path_runs_here(path)) check(data, size, path);
  return 0;
}
