// Win32 files for QK: open by name, size, positioned reads and writes, and
// setting a file's length. Positioned transfers go through OVERLAPPED
// offsets on a synchronous handle, so no call depends on a file pointer
// left behind by another; every call loops over short transfers so callers
// see one all-or-nothing operation.
#include <windows.h>

#include "platform/platform.h"

namespace qk::platform {

namespace {

constexpr int64_t kMaxChunk = 1 << 30;  // a DWORD count, kept well below its limit

HANDLE as_handle(FileHandle file) {
  return reinterpret_cast<HANDLE>(file);
}

OVERLAPPED at_offset(int64_t offset) {
  OVERLAPPED position = {};
  position.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
  position.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return position;
}

// Offset and OffsetHigh both all ones: Windows writes at the end of file.
OVERLAPPED at_end() {
  OVERLAPPED position = {};
  position.Offset = 0xFFFFFFFFu;
  position.OffsetHigh = 0xFFFFFFFFu;
  return position;
}

bool write_all(HANDLE handle, const char* data, int64_t size, int64_t offset, bool append) {
  while (size > 0) {
    DWORD chunk = static_cast<DWORD>(size < kMaxChunk ? size : kMaxChunk);
    OVERLAPPED position = append ? at_end() : at_offset(offset);
    DWORD put = 0;
    if (!WriteFile(handle, data, chunk, &put, &position) || put == 0) return false;
    data += put;
    size -= put;
    offset += put;
  }
  return true;
}

}  // namespace

FileKind file_kind(const char* name) {
  DWORD attributes = GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::kMissing;
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return FileKind::kOther;
  return FileKind::kRegular;
}

FileHandle open_file(const char* name, OpenMode mode, bool* missing) {
  DWORD access = GENERIC_READ;
  DWORD disposition = OPEN_EXISTING;
  switch (mode) {
    case OpenMode::kRead:
      break;
    case OpenMode::kUpdate:
      access |= GENERIC_WRITE;
      break;
    case OpenMode::kCreate:
      access |= GENERIC_WRITE;
      disposition = CREATE_ALWAYS;
      break;
    case OpenMode::kOutput:
      access |= GENERIC_WRITE;
      disposition = OPEN_ALWAYS;
      break;
    case OpenMode::kAppend:
      // Append data without write data: the system itself keeps every
      // write at the end, as O_APPEND does.
      access |= FILE_APPEND_DATA;
      disposition = OPEN_ALWAYS;
      break;
  }
  // Sharing everything matches what the POSIX build allows: a reader may
  // have the file open while QK edits it.
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE handle =
      CreateFileA(name, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (missing) {
    const DWORD error = GetLastError();
    *missing = handle == INVALID_HANDLE_VALUE &&
               (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND);
  }
  if (handle == INVALID_HANDLE_VALUE) return kNoFile;
  // Device names (CON, NUL, COM1) open without error; only a disk file is
  // a file to QK.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return kNoFile;
  }
  return reinterpret_cast<FileHandle>(handle);
}

bool close_file(FileHandle file) {
  if (file == kNoFile) return true;
  return CloseHandle(as_handle(file)) != 0;
}

int64_t file_size(FileHandle file) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(as_handle(file), &size)) return -1;
  return size.QuadPart;
}

bool read_at(FileHandle file, char* data, int64_t size, int64_t offset) {
  while (size > 0) {
    DWORD chunk = static_cast<DWORD>(size < kMaxChunk ? size : kMaxChunk);
    OVERLAPPED position = at_offset(offset);
    DWORD got = 0;
    if (!ReadFile(as_handle(file), data, chunk, &got, &position) || got == 0) return false;
    data += got;
    size -= got;
    offset += got;
  }
  return true;
}

bool write_at(FileHandle file, const char* data, int64_t size, int64_t offset) {
  return write_all(as_handle(file), data, size, offset, false);
}

bool write_appending(FileHandle file, const char* data, int64_t size) {
  return write_all(as_handle(file), data, size, 0, true);
}

// Windows gives a file its room as it is written; nothing is set aside.
bool reserve_room(FileHandle, int64_t) {
  return true;
}

FileHandle duplicate_file(FileHandle file) {
  HANDLE copy;
  const HANDLE process = GetCurrentProcess();
  if (!DuplicateHandle(process, as_handle(file), process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return kNoFile;
  return reinterpret_cast<FileHandle>(copy);
}

bool set_length(FileHandle file, int64_t length) {
  LARGE_INTEGER position;
  position.QuadPart = length;
  return SetFilePointerEx(as_handle(file), position, nullptr, FILE_BEGIN) &&
         SetEndOfFile(as_handle(file));
}

}  // namespace qk::platform
