// The run report. Counts are printed as the run's own 64-bit values; the
// texts are fixed, only numbers and names are filled in.
#include "report/report.h"

#include <cinttypes>

namespace qk {

void print_details(Run& run) {
  if (run.settings.verbosity <= '2') return;
  FILE* out = run.console;
  const WriterState& w = run.writer;
  std::fputs("\n", out);
  if (run.settings.output)
    std::fprintf(out, "Output filename       : %s\n", run.texts.slots.output_name);
  std::fprintf(out, "Original filesize : %" PRId64 "\n", run.image.size());
  std::fputs("Bytes ", out);
  std::fputs(w.net_change >= 0 ? "gained" : "lost  ", out);
  std::fprintf(out, "      : %" PRId64 "\n", w.net_change);
  std::fprintf(out, "Bytes written     : %" PRId64 "\n", w.bytes_written);
  std::fprintf(out, "Number times text inserted at %c : %" PRId64 "\n", run.settings.special[2],
               run.counts.ampersand);
}

void print_outcome(Run& run) {
  FILE* out = run.console;
  const Counts& c = run.counts;
  const Settings& s = run.settings;
  if (s.selection && c.found > c.acted)
    std::fprintf(out, "\n(Skipped %" PRId64 " matches)", c.found - c.acted);
  if (c.acted != 0) {
    std::fprintf(out, "\nOK: %" PRId64 " matches found\n", c.acted);
  } else if (s.create != 'Y') {
    std::fputs("\nNo matches found\n", out);
  }
  if (run.match.length == kAddedMarker) {
    if (s.create == 'Y') std::fputs("\nNew file created ", out);
    std::fputs(s.add_mode == 'T' ? "(String appended)\n" : "(String inserted)\n", out);
  }
}

void print_recovered(Run& run) {
  if (run.settings.verbosity < '2') return;
  if (run.guard.recovery == Recovery::kCompleted) {
    std::fprintf(run.console,
                 "\nFinished the edit of %s that an unfinished run began (journal %s)\n",
                 run.texts.slots.file_name, run.guard.journal.c_str());
    return;
  }
  std::fprintf(run.console, "\nRestored %s as it was before an unfinished run (journal %s)\n",
               run.texts.slots.file_name, run.guard.journal.c_str());
}

}  // namespace qk
