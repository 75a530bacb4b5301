// Error messages and exit codes. Names and texts that come from the user are
// always passed as arguments, never as the format.
#include "driver/errors.h"

#include <cinttypes>

#include "cmdline/command_line.h"

namespace qk {

namespace {

void print_l_detail(FILE* out, char status, const std::string& name) {
  switch (status) {
    case '4':
      std::fprintf(out, "       (File %s too big - %" PRId64 " maximum)\n", name.c_str(),
                   kMaxFileSize);
      break;
    case '1':
      std::fprintf(out, "       (File: %s not found)\n", name.c_str());
      break;
    case '3':
      std::fprintf(out, "       (Could not allocate memory for file: %s)\n", name.c_str());
      break;
    case '5':
      std::fprintf(out, "       (Could not read file: %s)\n", name.c_str());
      break;
    default:
      break;
  }
}

void print_l_error(Run& run) {
  FILE* out = run.console;
  const Settings& s = run.settings;
  if (s.l_search == '6' || s.l_new == '6') {
    std::fputs("Missing filename specified for /L switch: ", out);
    if (s.l_search == '6') std::fputs("<search>\n", out);
    if (s.l_new == '6') std::fputs("<new>\n", out);
    return;
  }
  std::fputs("Could not load file for /L switch into memory\n", out);
  print_l_detail(out, s.l_search, run.texts.search_file);
  print_l_detail(out, s.l_new, run.texts.new_file);
}

const char* no_journal_reason(platform::MakeFailure why) {
  switch (why) {
    case platform::MakeFailure::kNotWritable:
      return "its folder may not be written";
    case platform::MakeFailure::kNoRoom:
      return "no room for the journal";
    case platform::MakeFailure::kTooLong:
      return "the journal's name would be too long";
    default:
      return "no place for the journal";
  }
}

// Why the target was not touched (another run edits it, a dead run's
// journal was refused, or no journal could be kept), or why it is not whole
// (its journal stays): what happened, and what to do next.
void print_guard_detail(Run& run) {
  const TargetGuard& guard = run.guard;
  FILE* out = run.console;
  const char* name = guard.journal.c_str();
  const char* file = run.texts.slots.file_name;
  if (guard.busy) {
    std::fputs("       (Another QK run is editing this file: try again when it has finished)\n",
               out);
    return;
  }
  if (guard.no_journal) {
    std::fprintf(out,
                 "       (No journal can be kept for this edit, %s: nothing was written; "
                 "write the result to another file with -$)\n",
                 no_journal_reason(guard.why_none));
    return;
  }
  switch (guard.recovery) {
    case Recovery::kOtherUser:
      std::fprintf(out,
                   "       (Journal %s of an unfinished run was made by %s: run QK as %s to "
                   "put the file back)\n",
                   name, guard.owner.c_str(), guard.owner.c_str());
      break;
    case Recovery::kUnwritable:
      std::fprintf(out,
                   "       (Journal %s of an unfinished run needs write access to the file to "
                   "put it back: run QK as a user who may write it)\n",
                   name);
      break;
    case Recovery::kOtherFile:
      std::fprintf(out,
                   "       (Journal %s was made for another file: not applied; remove it if no "
                   "file needs it)\n",
                   name);
      break;
    case Recovery::kChanged:
      std::fprintf(out,
                   "       (Journal %s does not fit the file as it is now: not applied; the file "
                   "changed after its run died: remove the journal to keep the file as it is)\n",
                   name);
      break;
    case Recovery::kDamaged:
      std::fprintf(out,
                   "       (Journal %s is damaged or not a QK journal: not applied; check the "
                   "file, and remove the journal to edit the file as it is)\n",
                   name);
      break;
    case Recovery::kOlderFormat:
      std::fprintf(out,
                   "       (Journal %s was made by an older QK: not applied; put the file back "
                   "with that QK, or remove the journal to keep the file as it is)\n",
                   name);
      break;
    case Recovery::kLost:
      std::fprintf(out,
                   "       (A QK run that was editing this file died, and its journal %s is "
                   "gone: check the file, then remove its mark with: setfattr -x "
                   "user.qk.journal %s)\n",
                   name, file);
      break;
    case Recovery::kUnfinished:
      std::fprintf(out,
                   "       (Could not finish the edit, whose journal %s stays: free some space or "
                   "mend the disk, then run QK on the file again to finish it)\n",
                   name);
      break;
    case Recovery::kFailed:
      std::fprintf(out,
                   "       (Could not put the file back with journal %s, which stays: free "
                   "some space or mend the disk, then run QK on the file again)\n",
                   name);
      break;
    default:
      break;
  }
}

// A text or name that would have had to be cut (error -13).
void print_too_long(Run& run) {
  const ParseState& p = run.parse;
  const unsigned long long length = p.too_long_length;
  if (p.too_long == 'S' || p.too_long == 'N') {
    std::fprintf(run.console,
                 "Text too long: %s has %llu characters, at most %d; "
                 "give a longer text in a file with -L\n",
                 p.too_long == 'S' ? "<search>" : "<new>", length, kSlotText);
  } else {
    std::fprintf(run.console, "%s too long: %llu characters, at most %d\n",
                 p.too_long == 'O' ? "Output filename" : "Filename", length, kNameText);
  }
}

}  // namespace

void print_error(Run& run) {
  FILE* out = run.console;
  const char* file_name = run.texts.slots.file_name;
  if (run.error_code == -8 && !run.parse.has_bad_text) run.error_code = -2;
  std::fputs("\nERROR: ", out);
  switch (run.error_code) {
    case -1:
      std::fprintf(out, "Bad filename or file does not exist: %s\n", file_name);
      break;
    case -2:
      std::fputs("Bad or missing command line information\n", out);
      break;
    case -3:
      std::fputs("Not enough memory to load file\n\n", out);
      break;
    case -4:
      std::fprintf(out, "File too big or 0 bytes (%" PRId64 " byte maximum)\n", kMaxFileSize);
      break;
    case -5:
      std::fputs("Bad file - could not read\n", out);
      break;
    case -6:
      std::fprintf(out, "Could not create new file: %s\n",
                   run.settings.output ? run.texts.slots.output_name : file_name);
      break;
    case -7:
      print_l_error(run);
      break;
    case -8:
      std::fputs("Bad command line information: ", out);
      std::fwrite(run.parse.bad_text.data(), 1, run.parse.bad_text.size(), out);
      std::fputs("\n", out);
      break;
    case -9:
      std::fputs("Missing command line information: <filename> required\n", out);
      break;
    case -10:
      std::fputs("Missing command line information: <search> required\n", out);
      break;
    case -11:
      std::fprintf(out, "Missing command line information: -%c requires <new>\n",
                   run.settings.append_insert);
      break;
    case -12:
      std::fputs("Missing command line information: -$", out);
      if (run.settings.output_mode == 'A') std::fputs(":A", out);
      std::fputs(" requires output filename\n", out);
      break;
    case -13:
      print_too_long(run);
      break;
    case -14:
      std::fprintf(out, "Write fault encountered: %s\n", file_name);
      break;
    case -30:
      std::fprintf(out, "File is Read Only - %s\n", file_name);
      break;
    default:
      if (run.error_code <= -15 && run.error_code >= -29) {
        std::fprintf(out, "Extended error: %ld\n", static_cast<long>(run.error_code));
      }
      break;
  }
  if ((run.error_code == -2 || run.error_code == -8) && run.parse.bad_switch)
    std::fputs(bad_switch_hint(), out);
  print_guard_detail(run);
  if (run.error_code <= -8 && run.error_code >= -13) run.error_code = -2;
}

int exit_code_for(int64_t code) {
  if (code <= -15 && code >= -29) return 8;
  if (code == -30) return 9;
  if (code < 0) return static_cast<int>(code < -255 ? 255 : -code);
  return static_cast<int>(code > 255 ? 255 : code);
}

}  // namespace qk
