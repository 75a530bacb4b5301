// The banner line and the help pages: the fixed texts QK prints about itself
// and the order in which a help request shows them. The texts are kept as
// tables of the pieces they are printed in, so the wording can be reviewed
// (and diffed) as data, apart from the little logic that picks the pages.
#include "cmdline/help.h"

#include <cstddef>
#include <cstdio>
#include <iterator>

#include "platform/platform.h"

namespace qk {
namespace {

constexpr const char* kBanner[] = {
    "QK",
    " Utility v1.79ZD",
    "+",
    " ",
    "[TURBO] ",
    "[WIN32] ",
    "(c) 2026 The QK Project - see the QK user guide\n",
};

constexpr const char* kCommandLine =
    "\nCommand line: QK <filename> [-L ]<search>[ [-L ]<new>][ -switches]\n";

// The help describes the special characters with their default bytes: a
// user who changed them with -1 to -4 still needs to know what the numbers
// refer to, so these lines never follow the settings.
constexpr const char* kPage1[] = {
    "Basic switches:\n",
    "-A -I  Append/Insert the new string instead of replacing the search string\n",
    "       You must give the new string if using -A or -I\n",
    "-C     Perform a case sensitive search\n",
    "-D[:P] Make QK work in whole lines -D:P Preserve empty lines\n",
    "       -D:L to preserve Left hand /D:R Right hand contents of line\n",
    "       A line ends at LF or CR LF; QK writes line breaks like the file's first\n",
    "-H[:x] This help; -H:2 or -H:3 for more, :A for All :P for Paged, :V Ver string\n",
    "-O     Overwrite bytes after the search string if the new string is longer\n",
    "       Has no effect if you use -A or -I\n",
    "-U -M  Write (Un)modified lines of the file only\n",
    "-P     Pause before ending\n",
    "-V[:x] Verbosity level max [:0]-silent [:1]-quiet [:2]-default [:3]-max\n",
    "-n[:b] Where n is the special char. to disable [or change to byte b]\n",
    "Special characters:         (recommend use double quotes to enclose args)\n"
    "-1     @ in <search> is a wildcard\n"
    "-2     & in <new> will be replaced by <search>\n",
    "-3     # at start of <search> only matches at start of line\n",
    "-4     ! at end of <search> only matches at end of line\n",
    "# at start and % at end only matches if <search> is entire line     ",
    "{CR:OWC}\n",
};

constexpr const char* kPage2[] = {
    "Further Switches:\n",
    "-B -T  If no matches, add new string to the Begining / Tag to the end of file\n",
    "[:C]   Use with -D to add whole lines. Use :C to create file if not exist or RO\n",
    "-G -E  NEXT separate arg is text arg/from environment -GE Environment first\n",
    "--     Ends the switches: later args are texts. --help, --version as -H, -H:V\n",
    "-K:mC  Put a special func char. in new - m for mode and C for char to replace\n",
    "-K:RM  Reset /K randomisation every Match",
    "\n",
    "-#:a   Specify matches - O-Odd, E-Even, L-Last, I-Ignore 1st, J-ignore last\n",
    "       a,a,a match list (up to 10). -#:0 to report only, -#:R report or error.\n",
    "-N[:x] Pad ASCII byte to the RHS of <new>\n",
    "-W[:x] Use with -B -T to change wildcards in <new>\n",
    "-'     Changes ' in the new string to \"\n",
    "-X     With -D and the & spec. char in <new>, & becomes a whole line\n",
    "-Z     See Help file     -&[:a] Change which case is used for & in new string\n",
    "-$[:A] Next text argument is the output filename [Append output file]\n",
    "-~     Disable intelligent file writing (-$ forces this anyway)\n",
    "\nQK Returns a DOS Errorlevel:\n",
    "0-Normal            3-Not enough init mem  6-Cant create file      9-File RO\n",
    "1-File not found    4-File too big         7-Cant load search/new\n",
    "2-Bad cmd line info 5-Cant read file       8-Ext Err-Write fail\n",
};

constexpr const char* kPage3[] = {
    "\nPlease note that this program is supplied without warranties, guarantees or\n"
    "indemnities; implied or otherwise. ",
    "Usage of this program is entirely at the\nrisk of the user. ",
    "Other additional terms may apply as specified in the license\nagreement or web site.\n",
    "\nFor more information please contact The QK Project:\n",
    "\nUser guide: docs/user-guide.md (installed as 'man qk')\n",
    "Support: the QK project's issue tracker\n",
};

struct Page {
  char number;
  const char* const* pieces;
  size_t count;
};

constexpr Page kPages[] = {
    {'1', kPage1, std::size(kPage1)},
    {'2', kPage2, std::size(kPage2)},
    {'3', kPage3, std::size(kPage3)},
};

void print_pieces(FILE* out, const char* const* pieces, size_t count) {
  for (size_t i = 0; i < count; ++i)
    std::fputs(pieces[i], out);
}

// The paged form stops between pages; the console stream may be buffered
// separately from the one the key is read on, so the prompt is pushed out
// before waiting or the user would be waiting for a prompt they cannot see.
void wait_between_pages(Run& run) {
  std::fputs("- Press any key to continue -", run.console);
  std::fflush(run.console);
  platform::wait_for_key();
  std::fputs("\n\n", run.console);
}

}  // namespace

void print_banner(Run& run) {
  if (run.settings.verbosity <= '0') return;
  print_pieces(run.console, kBanner, std::size(kBanner));
}

void print_help(Run& run) {
  const Settings& settings = run.settings;
  // A silent help run keeps whatever the command line check found, so that
  // the exit code is the only thing that can still say what was wrong.
  if (!settings.help || settings.verbosity <= '0') return;
  run.error_code = 0;

  const char page = settings.help_page;
  const bool all = page == 'A' || page == 'P';
  if (page != '3' && page != 'V') std::fputs(kCommandLine, run.console);

  const size_t last = std::size(kPages) - 1;
  for (size_t i = 0; i <= last; ++i) {
    if (all || page == kPages[i].number) {
      print_pieces(run.console, kPages[i].pieces, kPages[i].count);
    }
    if (i == last) break;
    if (page == 'P') {
      wait_between_pages(run);
    } else if (page == 'A') {
      std::fputs("\n", run.console);
    }
  }
}

}  // namespace qk
