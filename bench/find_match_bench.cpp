// Throughput of the matcher on its own, in bytes of image per second:
// case-sensitive and case-insensitive searches, with a first byte that is
// rare in the text or one that is everywhere, and a pathological search
// text on a file of one repeated byte.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>

#include "engine/matcher.h"
#include "fileio/image.h"
#include "state/run.h"

namespace {

std::string word_text(size_t size) {
  static const char* kWords[] = {"the",   "quick",  "brown", "river", "house",   "garden",
                                 "light", "window", "water", "north", "morning", "and"};
  std::mt19937 random(3);
  std::string text;
  text.reserve(size + 16);
  while (text.size() < size) {
    text += kWords[random() % 12];
    text += (random() % 6 == 0) ? "\r\n" : " ";
  }
  text.resize(size);
  return text;
}

// Counts every match from the start of the image to its end.
void scan_all(benchmark::State& state, const std::string& image, const char* search,
              bool case_sensitive) {
  for (auto _ : state) {
    qk::Run run;
    run.settings.case_sensitive = case_sensitive ? 'C' : 0;
    run.texts.search_len = static_cast<uint32_t>(std::strlen(search));
    std::memcpy(run.texts.slots.search, search, run.texts.search_len);
    qk::prepare_search(run);
    qk::use_memory_image(run.image, image.data(), static_cast<int64_t>(image.size()));
    run.writer.cursor = 0;
    int64_t found = 0;
    for (int64_t from = 0;;) {
      qk::find_match(run, from);
      if (run.match.offset < 0) break;
      ++found;
      from = run.match.offset + run.match.length;
    }
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(image.size()));
}

const std::string& text() {
  static const std::string t = word_text(64 << 20);
  return t;
}

void BM_RareFirstByte_CaseSensitive(benchmark::State& s) {
  scan_all(s, text(), "zebra", true);
}
void BM_RareFirstByte_IgnoreCase(benchmark::State& s) {
  scan_all(s, text(), "ZEBRA", false);
}
void BM_DenseFirstByte_CaseSensitive(benchmark::State& s) {
  scan_all(s, text(), "the", true);
}
void BM_DenseFirstByte_IgnoreCase(benchmark::State& s) {
  scan_all(s, text(), "THE", false);
}
void BM_NoMatch_Wildcards(benchmark::State& s) {
  scan_all(s, text(), "pl@typ@s", false);
}
void BM_Pathological(benchmark::State& s) {
  static const std::string as(16 << 20, 'a');
  static const std::string search = std::string(200, 'a') + "b";
  scan_all(s, as, search.c_str(), false);
}

BENCHMARK(BM_RareFirstByte_CaseSensitive)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RareFirstByte_IgnoreCase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DenseFirstByte_CaseSensitive)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DenseFirstByte_IgnoreCase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NoMatch_Wildcards)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pathological)->Unit(benchmark::kMillisecond);

}  // namespace
