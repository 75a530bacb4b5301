// Win32 calls for the restore journal: a journal file that nobody else can
// have prepared or may change, the identity of the file it protects, and
// the lock that keeps two runs from editing one file at once.
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "platform/platform.h"

namespace qk::platform {

namespace {

HANDLE as_handle(FileHandle file) {
  return reinterpret_cast<HANDLE>(file);
}

// The lock is one byte far past any file QK accepts: Windows locks are
// mandatory, and no read or write of the file ever reaches that byte.
constexpr uint64_t kLockOffset = uint64_t{1} << 62;

// The user running QK, in `buffer` (a TOKEN_USER); nullptr when unknown.
PSID this_user(char (&buffer)[256]) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  DWORD size = 0;
  const bool known = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) != 0;
  CloseHandle(token);
  return known ? reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid : nullptr;
}

bool is_user(PSID sid) {
  char buffer[256];
  PSID user = this_user(buffer);
  return user && EqualSid(sid, user);
}

// Full access for the user running QK, nothing for anyone else, and no
// rights inherited from the folder; nullptr (the folder's defaults) when
// the user is unknown.
PSECURITY_DESCRIPTOR owner_only() {
  char buffer[256];
  PSID user = this_user(buffer);
  char* sid = nullptr;
  if (!user || !ConvertSidToStringSidA(user, &sid)) return nullptr;
  const std::string text = std::string("D:P(A;;FA;;;") + sid + ")";
  LocalFree(sid);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    return nullptr;
  return descriptor;
}

}  // namespace

bool file_identity(FileHandle file, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(as_handle(file), &info)) return false;
  identity->device = info.dwVolumeSerialNumber;
  identity->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

FileHandle create_private_file(const char* name, Opened* outcome) {
  SECURITY_ATTRIBUTES security = {};
  security.nLength = sizeof security;
  PSECURITY_DESCRIPTOR descriptor = owner_only();
  security.lpSecurityDescriptor = descriptor;
  // CREATE_NEW fails on any existing name, a link included.
  HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &security,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD error = GetLastError();
  if (descriptor) LocalFree(descriptor);
  if (handle != INVALID_HANDLE_VALUE) {
    *outcome = Opened::kOpened;
    return reinterpret_cast<FileHandle>(handle);
  }
  const bool taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
  *outcome = taken ? Opened::kExists : Opened::kFailed;
  return kNoFile;
}

FileHandle open_private_file(const char* name, Opened* outcome) {
  HANDLE handle = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                         error == ERROR_FILENAME_EXCED_RANGE || error == ERROR_INVALID_NAME;
    *outcome = missing ? Opened::kMissing : Opened::kRefused;
    return kNoFile;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const DWORD odd = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & odd) != 0 || info.nNumberOfLinks != 1) {
    CloseHandle(handle);
    *outcome = Opened::kRefused;
    return kNoFile;
  }
  *outcome = Opened::kOpened;
  return reinterpret_cast<FileHandle>(handle);
}

bool owned_by_this_user(FileHandle file) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(as_handle(file), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                      nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  const bool ours =
      owner && (is_user(owner) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                IsWellKnownSid(owner, WinLocalSystemSid));
  LocalFree(descriptor);
  return ours;
}

bool try_lock(FileHandle file) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(kLockOffset & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(kLockOffset >> 32);
  if (LockFileEx(as_handle(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                 &at))
    return true;
  const DWORD error = GetLastError();
  return error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING;
}

bool remove_file(const char* name) {
  return DeleteFileA(name) != 0;
}

}  // namespace qk::platform
