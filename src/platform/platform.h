// The thin layer over the operating system. Everything QK needs from the
// OS (files by name and handle, the image memory, the environment, one key
// from the console) goes through these calls, so that a port touches only
// this folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qk::platform {

// Windows hands a program its command line as one string, which the C
// runtime splits, reading '\"' as an escaped quote: 'C:\dir\" abc' comes as
// one argument, and QK repairs it. A POSIX shell hands over every quote the
// user meant, which must stay as typed.
#ifdef _WIN32
constexpr bool kRepairQuotes = true;
#else
constexpr bool kRepairQuotes = false;
#endif

using FileHandle = intptr_t;
constexpr FileHandle kNoFile = -1;

enum class OpenMode {
  kRead,    // existing file, reading only
  kUpdate,  // existing file, reading and writing
  kCreate,  // created or emptied, reading and writing
  kOutput,  // created if missing, reading and writing, not emptied
  kAppend,  // created if missing, every write at the end
};

enum class FileKind { kMissing, kRegular, kOther };

// What a name refers to, without opening it (so a FIFO never blocks us).
FileKind file_kind(const char* name);

// Opens a regular file; kNoFile on failure (including a name that is not a
// regular file), with `missing` set when nothing has the name.
FileHandle open_file(const char* name, OpenMode mode, bool* missing = nullptr);
bool close_file(FileHandle file);

// Size of an open file, or -1.
int64_t file_size(FileHandle file);

// Reads exactly `size` bytes from the offset; false on error or short file.
bool read_at(FileHandle file, char* data, int64_t size, int64_t offset);

// Writes all `size` bytes at the offset; false when not all of them could
// be written.
bool write_at(FileHandle file, const char* data, int64_t size, int64_t offset);

// Writes all `size` bytes at the end of a kAppend handle.
bool write_appending(FileHandle file, const char* data, int64_t size);

// Sets the length of an open file.
bool set_length(FileHandle file, int64_t length);

// Sets aside room on the disk for the file to grow to `length` bytes,
// without changing its length, so that writes up to there cannot fail for
// want of room. False when there is no room (or a size limit says no);
// true where the file system cannot set room aside.
bool reserve_room(FileHandle file, int64_t length);

// Another handle on the same open file (not the file's name opened again),
// closed on its own; kNoFile on failure.
FileHandle duplicate_file(FileHandle file);

// Memory for a file image held whole: large blocks come straight from the
// OS, backed by huge pages where possible.
char* allocate_image(size_t size);
void free_image(char* block, size_t size);

// A large block of plain pages, for the restore journal. Huge pages would
// cut its page faults, but gathering them costs more, and far more
// unevenly, than the faults they save.
char* allocate_block(size_t size);
void free_block(char* block, size_t size);

// Address space for the window of a streamed file image: reserved a few
// chunks wide, with memory only where it is made usable. All sizes and addresses are multiples of
// kPageSize.
constexpr size_t kPageSize = 4096;
char* reserve_space(size_t size);
void free_space(char* space, size_t size);
// Makes [at, at + size) usable memory; false when there is none.
// `filling`: the caller is about to write all of it, so its pages are
// made at once, which costs much less than a fault on each.
bool commit_space(char* at, size_t size, bool filling = false);
// Gives the memory of [at, at + size) back; the space stays reserved.
void decommit_space(char* at, size_t size);
// Moves the memory of [from, from + size) to `to` (whose memory must have
// been given back), which saves touching fresh pages; false when the OS
// cannot, and then nothing changed.
bool move_space(char* from, char* to, size_t size);

// What makes a file itself, whatever name it was opened by: POSIX device
// and inode numbers, the Windows volume serial number and file index; and
// when it was made (nanoseconds; 0 where the system does not say), which
// tells a file from a later one that got the same number.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t index = 0;
  uint64_t birth = 0;
};
bool file_identity(FileHandle file, FileIdentity* identity);

// The full path by which the system knows an open file, from the handle
// itself (no name is looked up again); empty when it cannot say.
std::string path_of(FileHandle file);

// The separator of folders in a path.
#ifdef _WIN32
constexpr char kFolderSeparator = '\\';
#else
constexpr char kFolderSeparator = '/';
#endif

// The restore journal's files. None of these calls follows a link at the
// last component of a name, so nobody can point a journal at another file.
//
// What stands at a journal's name, as far as this user may trust it.
struct FoundFile {
  enum Kind {
    kMissing,    // nothing
    kForeign,    // something no QK run of anyone who may write the target
                 // made: not a plain file, a second name, writable by
                 // others, or owned by someone who may not write the target
    kOtherUser,  // a plain file of another user who may write the target,
                 // or one this user may not read: `owner` names them
    kOpened,     // this user's or the administrator's, open for reading (and
                 // writing, where this user may)
  };
  Kind kind = kMissing;
  FileHandle file = kNoFile;
  std::string owner;
};
FoundFile find_private_file(const char* name, FileHandle target);

// Why a journal file could not be made.
enum class MakeFailure {
  kNone,
  kExists,       // something has the name already
  kBusy,         // another run is making a journal of that name right now
  kTaken,        // the name it is made under first is held by something else
  kNotWritable,  // the folder may not be written
  kNoRoom,       // no room on the disk
  kTooLong,      // the name is too long
  kOther,
};
// What stopped the last file call that failed, as far as it says.
MakeFailure last_failure();

// Makes `name` a new file that only its owner may read or write, locked
// (try_lock) by the handle returned and already holding `head`: it is made
// as `name`.new and takes `name` only when whole, so that another run never
// finds it without its head or its lock. What a run that died making one
// left there is removed first. kNoFile and the reason on failure.
FileHandle make_locked_file(const char* name, const void* head, int64_t size, MakeFailure* why);

// Takes an exclusive lock on the file without waiting; false when another
// process holds it. The lock goes with the handle's close. Where the file
// system cannot lock, it reports the file as free.
bool try_lock(FileHandle file);

// True while `file` is still the file called `name` (a run that finished
// removes its journal before it lets go of the lock).
bool still_named(FileHandle file, const char* name);

// Removes the name of the open file `file`, if `name` still is its name.
bool remove_file(FileHandle file, const char* name);

// A folder for journals that only this user may write, made if `make` and
// need be; empty when there is none (no home folder, say, or not made).
std::string private_folder(bool make);

// A mark on the file itself (an extended attribute) that follows it to
// every name and folder: where its journal lies while a run changes it.
// False where the file system keeps no such marks.
bool set_mark(FileHandle file, const std::string& value);
bool get_mark(FileHandle file, std::string* value);
void remove_mark(FileHandle file);

// The value of an environment variable, or nullptr.
const char* environment(const char* name);

// Holds back interrupts (Ctrl-C, termination, hang-up) while a file is
// being rewritten; releasing them lets a held one take effect at once.
void hold_interrupts();
void release_interrupts();

// Waits for one key press without echo and without Enter. When standard
// input is not a terminal one byte is read; end of input counts as a key.
void wait_for_key();

}  // namespace qk::platform
