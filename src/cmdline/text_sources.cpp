// Texts that do not come straight from an argument: values of environment
// variables named by -E, and whole files named by -L, loaded at validation
// and, for a large <new> file under -K:RM, read again after every match.
// Load failures are recorded as a status character in the text's -L marker
// so that the final message can name the file and the cause.
#include "cmdline/text_sources.h"

#include <cstring>
#include <new>
#include <vector>

#include "platform/platform.h"

namespace qk {

namespace {

// Status characters kept in an -L marker.
constexpr char kNoName = '6';
constexpr char kNotFound = '1';
constexpr char kNoMemory = '3';
constexpr char kBadSize = '4';
constexpr char kUnreadable = '5';

// The pieces of the run that belong to one of the two texts.
struct TextRefs {
  char& marker;
  char* slot;
  const std::string& given;  // the file name, whole
  char*& text;
  uint32_t& length;
  std::vector<char>& buffer;
  std::string& file;
};

TextRefs refs_for(Run& run, bool for_search) {
  Texts& t = run.texts;
  if (for_search) {
    return {run.settings.l_search, t.slots.search,  t.search_given, t.search,
            t.search_len,          t.search_buffer, t.search_file};
  }
  return {run.settings.l_new, t.slots.new_text, t.new_given, t.new_text,
          t.new_len,          t.new_buffer,     t.new_file};
}

// Reads the whole file into the text; returns 0 or the failure's status.
char load_into(TextRefs& r, platform::FileHandle file) {
  int64_t size = platform::file_size(file);
  if (size < 0) return kUnreadable;
  if (size == 0 || size > kMaxFileSize) return kBadSize;
  char* target = r.slot;
  if (size <= kSlotText) {
    // The name in the slot is no longer needed once it is kept in `file`;
    // clearing the slot keeps the loaded text terminated as well.
    r.marker = 0;
    std::memset(r.slot, 0, kSlotSize);
  } else {
    try {
      r.buffer.assign(static_cast<size_t>(size), '\0');
    } catch (const std::bad_alloc&) {
      return kNoMemory;
    }
    target = r.buffer.data();
  }
  if (!platform::read_at(file, target, size, 0)) return kUnreadable;
  r.text = target;
  r.length = static_cast<uint32_t>(size);
  return 0;
}

}  // namespace

bool environment_text(const std::string& name, std::string& value) {
  std::string upper = name;
  const char* found = platform::environment(name.c_str());
  if (found == nullptr) {
    for (char& c : upper) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    found = platform::environment(upper.c_str());
  }
  if (found == nullptr) return false;
  value = found;
  return true;
}

void load_text_file(Run& run, bool for_search) {
  TextRefs r = refs_for(run, for_search);
  if (r.slot[0] == '\0') {
    r.marker = kNoName;
    run.error_code = -7;
    return;
  }
  r.file = r.given;
  char status = kNotFound;
  platform::FileHandle file = platform::open_file(r.file.c_str(), platform::OpenMode::kRead);
  if (file != platform::kNoFile) {
    status = load_into(r, file);
    platform::close_file(file);
  }
  if (status != 0) {
    r.marker = status;
    run.error_code = -7;
  }
}

bool reload_new_text(Run& run) {
  Texts& t = run.texts;
  char& marker = run.settings.l_new;
  platform::FileHandle file = platform::open_file(t.new_file.c_str(), platform::OpenMode::kRead);
  if (file == platform::kNoFile) {
    marker = kNotFound;
    return false;
  }
  int64_t size = platform::file_size(file);
  char status = 0;
  if (size < 0) {
    status = kUnreadable;
  } else if (size != t.new_len || t.new_buffer.size() < t.new_len) {
    status = kBadSize;
  } else if (!platform::read_at(file, t.new_buffer.data(), size, 0)) {
    status = kUnreadable;
  }
  platform::close_file(file);
  if (status != 0) {
    marker = status;
    return false;
  }
  t.new_text = t.new_buffer.data();
  return true;
}

}  // namespace qk
