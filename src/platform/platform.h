// The thin layer over the operating system. Everything QK needs from the
// OS (files by name and handle, the image memory, the environment, one key
// from the console) goes through these calls, so that a port touches only
// this folder.
#pragma once

#include <cstddef>
#include <cstdint>

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
  kAppend,  // created if missing, every write at the end
};

enum class FileKind { kMissing, kRegular, kOther };

// What a name refers to, without opening it (so a FIFO never blocks us).
FileKind file_kind(const char* name);

// Opens a regular file; kNoFile on failure (including a name that is not a
// regular file).
FileHandle open_file(const char* name, OpenMode mode);
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

// Sets the length of the file with this name.
bool set_length_by_name(const char* name, int64_t length);

// Memory for a file image held whole: large blocks come straight from the
// OS, backed by huge pages where possible.
char* allocate_image(size_t size);
void free_image(char* block, size_t size);

// A large block of plain pages, for the restore journal. Huge pages would
// cut its page faults, but gathering them costs more, and far more
// unevenly, than the faults they save.
char* allocate_block(size_t size);
void free_block(char* block, size_t size);

// Address space for a streamed file image: reserved whole, so that every
// pointer into the image stays valid, with memory only where it is made
// usable. All sizes and addresses are multiples of kPageSize.
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

// True when `name` is the file open as `file` (so opening it for output
// would empty the file being read).
bool same_file(const char* name, FileHandle file);

// What makes a file itself, whatever name it was opened by: POSIX device
// and inode numbers, the Windows volume serial number and file index.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t index = 0;
};
bool file_identity(FileHandle file, FileIdentity* identity);

// The restore journal's file calls. None of them follows a link at the
// last component of the name, so nobody can point QK's journal at
// another file.
enum class Opened { kOpened, kMissing, kExists, kRefused, kFailed };
// Creates `name` as a new file for reading and writing that only its
// owner may read or write. kExists when the name is taken (by anything, a
// link too); kFailed when no file can be made there (no permission, a
// full disk, a name too long).
FileHandle create_private_file(const char* name, Opened* outcome);
// Opens an existing file by name for reading. kMissing when
// nothing has the name (or the name is too long to exist); kRefused when
// it is a link or not a regular file, or cannot be opened.
FileHandle open_private_file(const char* name, Opened* outcome);
// True when the file belongs to the user running QK or to the system's
// administrator, and nobody else may write to it.
bool owned_by_this_user(FileHandle file);
// Takes an exclusive lock on the file without waiting; false when another
// process holds it. The lock goes with the handle's close. Where the file
// system cannot lock, it reports the file as free.
bool try_lock(FileHandle file);
bool remove_file(const char* name);

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
