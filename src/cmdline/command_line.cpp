// The command-line reader: turns the argument vector into the run's settings
// and text slots (quote repair, switch groups read in passes over the item
// families, text destinations), then validates and prepares what was read
// before anything is printed or opened. Failures only set the run's error
// code and, for the bad-argument message, the offending text.
#include "cmdline/command_line.h"

#include <cstddef>
#include <cstring>
#include <string>

#include "cmdline/text_sources.h"
#include "engine/matcher.h"
#include "newtext/builder.h"
#include "newtext/special_functions.h"

namespace qk {

namespace {

// One more argument than this, program name included, is refused outright.
constexpr int kMaxArguments = 127;
constexpr int kMaxMatchNumbers = 10;
constexpr int kMaxKEntries = 10;
// A match number at or above this takes no further digit.
constexpr int32_t kMatchNumberCap = 99999999;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

char upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

void upper_case(std::string& text) {
  for (char& c : text)
    c = upper(c);
}

// strncpy keeps the last byte of the slot a terminator and clears whatever
// an earlier, longer text left behind.
void copy_to_slot(char* slot, const std::string& text, size_t limit = kSlotText) {
  std::strncpy(slot, text.c_str(), limit);
}

// On Windows '/' begins a switch as '-' does; elsewhere it begins a path.
bool is_switch_prefix(char c) {
#ifdef _WIN32
  return c == '-' || c == '/';
#else
  return c == '-';
#endif
}

constexpr const char* kBadSwitchHint =
#ifdef _WIN32
    "A text or file name that begins with - or / goes after -G, or after -- (the end\n"
    "of the switches). qk -H lists the switches.\n";
#else
    "A text or file name that begins with - goes after -G, or after -- (the end of\n"
    "the switches). qk -H lists the switches.\n";
#endif

bool slot_empty(const char* slot) {
  return slot[0] == '\0';
}

void record_bad_text(Run& run, const std::string& text) {
  if (run.parse.has_bad_text) return;
  run.parse.has_bad_text = true;
  run.parse.bad_text = text;
}

void set_bad(Run& run, const std::string& text) {
  run.error_code = -8;
  record_bad_text(run, text);
}

// Reads one switch argument. Each pass offers the current position to every
// item family once, in a fixed order, so that several items standing in that
// order are taken in one pass ('-BD$'). Families look at the upper-cased
// copy; the characters a user chooses (-n:b, -K characters) come from the
// copy as typed.
class SwitchReader {
 public:
  SwitchReader(Run& run, const std::string& typed) : run_(run), typed_(typed), up_(typed) {
    upper_case(up_);
  }

  void read() {
    copy_to_slot(run_.texts.slots.scratch, typed_);
    pos_ = 1;
    ParseState& parse = run_.parse;
    while (pos_ < up_.size() && run_.error_code == 0 && parse.recognised == parse.accepted) {
      pass_accepted_ = false;
      separator();
      special_characters();
      add_mode();
      whole_lines();
      output_file();
      selection();
      k_list();
      ampersand();
      pad_or_wildcard();
      help();
      verbosity();
      single('U', run_.settings.line_filter);
      l_marker();
      single('A', run_.settings.append_insert);
      letter_table();
      if (!pass_accepted_) set_bad(run_, up_.substr(pos_));
    }
  }

 private:
  char at(size_t i) const { return i < up_.size() ? up_[i] : '\0'; }
  char typed_at(size_t i) const { return i < typed_.size() ? typed_[i] : '\0'; }

  // The letter at `letter` is followed by ':' and one more character.
  bool has_sub(size_t letter) const { return at(letter + 1) == ':' && letter + 2 < up_.size(); }

  void recognise() { ++run_.parse.recognised; }

  void accept(size_t next) {
    ++run_.parse.accepted;
    pos_ = next;
    pass_accepted_ = true;
  }

  // Offers a letter with one optional ':x' sub-option. The setting is made
  // before the sub-option is looked at, so a refused sub-option still leaves
  // it in force.
  void with_option(char letter, char& setting, const char* options, char& option_setting) {
    if (at(pos_) != letter) return;
    recognise();
    setting = letter;
    if (!has_sub(pos_)) {
      accept(pos_ + 1);
      return;
    }
    char option = at(pos_ + 2);
    if (std::strchr(options, option) == nullptr) return;
    option_setting = option;
    accept(pos_ + 3);
  }

  void separator() {
    if (at(pos_) == ':' && pos_ + 1 < up_.size() && at(pos_ + 1) != ':') {
      ++pos_;
      pass_accepted_ = true;
    }
  }

  void special_characters() {
    Settings& s = run_.settings;
    while (at(pos_) >= '1' && at(pos_) <= '4') {
      int n = at(pos_) - '0';
      recognise();
      if (has_sub(pos_)) {
        s.special[n] = typed_at(pos_ + 2);
        accept(pos_ + 3);
      } else {
        s.disabled[n] = at(pos_);
        accept(pos_ + 1);
      }
    }
  }

  void add_mode() {
    Settings& s = run_.settings;
    char c = at(pos_);
    if (c != 'B' && c != 'T') return;
    with_option(c, s.add_mode, "C", s.create);
  }

  void whole_lines() {
    Settings& s = run_.settings;
    with_option('D', s.whole_lines, "PLR", s.line_option);
  }

  void output_file() {
    Settings& s = run_.settings;
    if (at(pos_) != '$') return;
    s.output_mode = '$';
    with_option('$', s.output, "A", s.output_mode);
  }

  void selection() {
    Settings& s = run_.settings;
    if (at(pos_) != '#') return;
    recognise();
    s.selection = '#';
    if (!has_sub(pos_)) return;
    char mode = at(pos_ + 2);
    if (std::strchr("R0LOEIJ", mode) != nullptr) {
      s.selection_mode = mode;
      accept(pos_ + 3);
    } else if (mode >= '1' && mode <= '9') {
      s.selection_mode = 'S';
      size_t end = 0;
      if (read_match_list(pos_ + 2, end)) accept(end);
    }
  }

  // Numbers from `i` on join the list that earlier -# switches began.
  // Returns false, with a bad text, when the list or a number is too long.
  bool read_match_list(size_t i, size_t& end) {
    MatchList& list = run_.match_list;
    if (list.count == 0 || list.numbers[list.count - 1] > 0) {
      if (list.count == kMaxMatchNumbers) {
        record_bad_text(run_, up_.substr(i));
        return false;
      }
      list.numbers[list.count++] = 0;
    }
    for (; is_digit(at(i)) || at(i) == ','; ++i) {
      int32_t& last = list.numbers[list.count - 1];
      if (at(i) == ',') {
        if (last == 0) continue;
        if (list.count == kMaxMatchNumbers) {
          record_bad_text(run_, up_.substr(i));
          return false;
        }
        list.numbers[list.count++] = 0;
      } else {
        if (last >= kMatchNumberCap) {
          record_bad_text(run_, up_.substr(i));
          return false;
        }
        last = last * 10 + (at(i) - '0');
      }
    }
    if (list.numbers[list.count - 1] == 0) --list.count;
    end = i;
    return true;
  }

  void k_list() {
    if (at(pos_) != 'K') return;
    if (at(pos_ + 1) != ':' || pos_ + 3 >= up_.size()) {
      ++pos_;
      return;
    }
    run_.settings.special_k = 'K';
    size_t i = pos_ + 2;
    pos_ = i;
    while (k_item(i)) {
      if (at(i) != ',' || i + 2 >= up_.size()) break;
      pos_ = ++i;
    }
  }

  // One 'mC' or 'RM' item at `i`, which is at least two characters from the
  // end. Moves `i` past an accepted item.
  bool k_item(size_t& i) {
    recognise();
    char m = at(i);
    if (m == 'R' && at(i + 1) == 'M') {
      run_.settings.reset_per_match = 'M';
      accept(i + 2);
      i = pos_;
      return true;
    }
    if (!is_digit(m) && std::strchr("HCGLI", m) == nullptr) return false;
    KEntries& k = run_.k;
    if (k.count == kMaxKEntries) {
      pos_ = i + 2;
      return false;
    }
    KEntry entry;
    entry.mode = is_digit(m) ? m - '0' : m;
    entry.ch = typed_at(i + 1);
    if (entry.mode == 6) {
      // Line-break entries stay together at the front; the entry they
      // displace keeps its place in the list only by moving to the end.
      k.entries[k.count] = k.entries[k.line_breaks];
      k.entries[k.line_breaks++] = entry;
    } else {
      k.entries[k.count] = entry;
    }
    ++k.count;
    accept(i + 2);
    i = pos_;
    return true;
  }

  void ampersand() {
    Settings& s = run_.settings;
    with_option('&', s.amp, "CLU", s.amp_case);
  }

  void pad_or_wildcard() {
    Settings& s = run_.settings;
    char c = at(pos_);
    char* flag = nullptr;
    uint8_t* byte = nullptr;
    if (c == 'N' && s.padding == 0) {
      flag = &s.padding;
      byte = &s.pad_byte;
    } else if (c == 'W' && s.wildcard_change == 0) {
      flag = &s.wildcard_change;
      byte = &s.wildcard_byte;
    } else {
      return;
    }
    recognise();
    *flag = c;
    if (!has_sub(pos_)) {
      accept(pos_ + 1);
      return;
    }
    size_t i = pos_ + 2;
    if (!is_digit(at(i))) {
      pos_ = i;
      return;
    }
    int value = 0;
    if (at(i) == '0') {
      ++i;
    } else {
      for (; is_digit(at(i)); ++i) {
        int next = value * 10 + (at(i) - '0');
        if (next > 255) {
          // A digit that cannot belong to the byte may still be the next
          // item when it names a special character ('-N:321').
          if (at(i) >= '1' && at(i) <= '4') break;
          record_bad_text(run_, up_.substr(i));
          pos_ = i;
          return;
        }
        value = next;
      }
    }
    if (at(i) == ':') ++i;
    *byte = static_cast<uint8_t>(value);
    accept(i);
  }

  void help() {
    Settings& s = run_.settings;
    char c = at(pos_);
    if (c != 'H' && c != '?') return;
    if (s.help_page == 0) s.help_page = '1';
    char ignored = 0;
    with_option(c, ignored, "APV123", s.help_page);
    s.help = 'H';
  }

  void verbosity() {
    Settings& s = run_.settings;
    if (at(pos_) != 'V') return;
    char ignored = 0;
    s.verbosity = '3';
    with_option('V', ignored, "0123", s.verbosity);
  }

  void single(char letter, char& setting) {
    if (at(pos_) != letter) return;
    recognise();
    setting = letter;
    accept(pos_ + 1);
  }

  void l_marker() {
    if (at(pos_) != 'L') return;
    recognise();
    if (slot_empty(run_.texts.slots.search)) {
      run_.settings.l_search = 'L';
    } else {
      run_.settings.l_new = 'L';
    }
    accept(pos_ + 1);
  }

  // Each table letter is compared once, in table order, with whatever the
  // earlier letters left at the position.
  void letter_table() {
    Settings& s = run_.settings;
    struct Entry {
      char letter;
      char* setting;
    };
    const Entry table[] = {
        {'I', &s.append_insert}, {'C', &s.case_sensitive},
        {'#', &s.start_anchor},  {'%', &s.end_anchor},
        {'M', &s.line_filter},   {'X', &s.whole_line_amp},
        {'\'', &s.quote_change}, {'Z', &s.no_quote_conv},
        {'G', &s.g_pending},     {'E', &s.e_pending},
        {'O', &s.overwrite},     {'~', &s.full_writing},
        {'P', &s.pause},         {'&', &s.amp},
    };
    for (const Entry& entry : table)
      single(entry.letter, *entry.setting);
  }

  Run& run_;
  const std::string& typed_;
  std::string up_;
  size_t pos_ = 1;
  bool pass_accepted_ = false;
};

// Nothing is cut without a word: a text or name too long for its slot
// ends the run, and the message says which one and how long it is. A cut
// search text would find other places, a cut name name another file.
void refuse_too_long(Run& run, char which, size_t length) {
  run.error_code = -13;
  run.parse.too_long = which;
  run.parse.too_long_length = length;
}

bool name_fits(Run& run, const std::string& name, char which) {
  if (name.size() <= static_cast<size_t>(kNameText)) return true;
  refuse_too_long(run, which, name.size());
  return false;
}

void store_text(Run& run, const std::string& argument) {
  Settings& s = run.settings;
  Texts& t = run.texts;
  TextSlots& slots = t.slots;
  std::string value = argument;
  if (s.e_pending != 0) {
    std::string found;
    if (environment_text(argument, found)) {
      value = found;
    } else if (s.g_pending == 0) {
      run.error_code = -2;
      return;
    }
  }
  s.e_pending = 0;
  s.g_pending = 0;

  if (s.output == '$') {
    if (!name_fits(run, value, 'O')) return;
    copy_to_slot(slots.output_name, value, kNameText);
    s.output = 0;
    s.full_writing = '~';
    return;
  }
  if (slot_empty(slots.file_name)) {
    if (!name_fits(run, value, 'F')) return;
#ifdef _WIN32
    upper_case(value);
#endif
    copy_to_slot(slots.file_name, value, kNameText);
  } else if (slot_empty(slots.search)) {
    copy_to_slot(slots.search, value);
    t.search_given = value;
  } else if (slot_empty(slots.new_text)) {
    copy_to_slot(slots.new_text, value);
    t.new_given = value;
  } else {
    set_bad(run, value);
  }
}

// --help and --version, the names every command-line tool answers to, ask
// for what -H and -H:V do.
bool read_long_switch(Run& run, const std::string& argument) {
  Settings& s = run.settings;
  if (argument == "--help") {
    if (s.help_page == 0) s.help_page = '1';
  } else if (argument == "--version") {
    s.help_page = 'V';
  } else {
    return false;
  }
  s.help = 'H';
  return true;
}

void read_one(Run& run, const std::string& argument) {
  ParseState& parse = run.parse;
  const bool is_switch = !argument.empty() && is_switch_prefix(argument[0]) &&
                         run.settings.g_pending == 0 && !parse.switches_ended;
  if (!is_switch) {
    store_text(run, argument);
    return;
  }
  if (argument == "--") {
    parse.switches_ended = true;
    return;
  }
  // Like every switch argument, not read after a refused item.
  if (parse.recognised == parse.accepted && read_long_switch(run, argument)) return;
  if (argument.size() < 2) {
    set_bad(run, argument);
  } else {
    SwitchReader(run, argument).read();
  }
  if (run.error_code != 0 || parse.recognised != parse.accepted) parse.bad_switch = true;
}

// A Windows runtime that took '\"' for an escaped quote hands over
// 'C:\dir" abc' as one argument; the quote is turned back into the
// backslash it was meant to end with, and what followed it is read as a
// further argument. Elsewhere every quote is the user's own.
void read_argument(Run& run, std::string argument) {
  for (;;) {
    if (run.error_code != 0) return;
    bool has_rest = false;
    std::string rest;
    if (run.parse.repair_quotes && run.settings.no_quote_conv == 0) {
      size_t quote = argument.find('"');
      if (quote != std::string::npos) {
        if (quote + 1 < argument.size()) {
          has_rest = true;
          rest = argument.substr(quote + 2);
        }
        argument.resize(quote + 1);
        argument[quote] = '\\';
      }
    }
    read_one(run, argument);
    if (!has_rest) return;
    if (!rest.empty() && rest.back() == '\r') rest.pop_back();
    argument = std::move(rest);
  }
}

uint32_t slot_length(const char* slot) {
  return static_cast<uint32_t>(std::strlen(slot));
}

// A text given as an argument (not an -L file) must fit its slot.
void check_text_fits(Run& run, const std::string& given, char which) {
  if (run.error_code == 0 && given.size() > static_cast<size_t>(kSlotText))
    refuse_too_long(run, which, given.size());
}

}  // namespace

const char* bad_switch_hint() {
  return kBadSwitchHint;
}

void read_command_line(Run& run, int argc, const char* const* argv) {
  if (argc > kMaxArguments) {
    run.error_code = -2;
    return;
  }
  if (argv == nullptr) return;
  for (int i = 1; i < argc && run.error_code == 0; ++i) {
    read_argument(run, argv[i] != nullptr ? argv[i] : "");
  }
}

void validate_command_line(Run& run) {
  Settings& s = run.settings;
  Texts& t = run.texts;
  auto fail = [&run](int32_t code) {
    if (run.error_code == 0) run.error_code = code;
  };

  if (slot_empty(t.slots.file_name)) fail(-9);
  if (run.parse.recognised != run.parse.accepted) fail(-8);
  if (slot_empty(t.slots.search) && s.l_search != 'L') fail(-10);
  if (slot_empty(t.slots.new_text) && (s.append_insert == 'A' || s.append_insert == 'I')) {
    fail(-11);
  }

  // A missing output name outranks every earlier complaint; one refused for
  // its length is not missing.
  const bool no_output_name =
      s.output == '$' || (s.output_mode != 0 && slot_empty(t.slots.output_name));
  if (no_output_name && run.parse.too_long != 'O') {
    run.error_code = -12;
  } else if (s.output_mode != 0) {
    s.output = '$';
  }

  if (s.l_search == 'L' && run.error_code == 0) {
    load_text_file(run, true);
  } else {
    check_text_fits(run, t.search_given, 'S');
    t.search_len = slot_length(t.search);
  }
  if (s.l_new == 'L' && run.error_code == 0) {
    load_text_file(run, false);
  } else {
    check_text_fits(run, t.new_given, 'N');
    t.new_len = slot_length(t.new_text);
  }

  if (run.error_code == 0 && t.search_len > 0) prepare_search(run);
  if (s.amp == 0) s.amp_case = 0;
  for (int n = 1; n <= 4; ++n) {
    if (s.disabled[n] != 0) s.special[n] = 0;
  }
  if (run.error_code == 0 && s.special_k != 0 && t.new_len > 0) setup_special_functions(run);
  if (run.error_code == 0 && s.quote_change != 0 && t.new_len > 0) convert_apostrophes(run);
}

}  // namespace qk
