// Win32 calls for the restore journal: a journal file that nobody else can
// have prepared or may change, the identity of the file it protects, and
// the lock that keeps two runs from editing one file at once.
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <cstdlib>
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

// The account that owns the file, or nullptr; `descriptor` to be freed.
PSID owner_of(HANDLE handle, PSECURITY_DESCRIPTOR* descriptor) {
  PSID owner = nullptr;
  *descriptor = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, descriptor) != ERROR_SUCCESS)
    return nullptr;
  return owner;
}

std::string account_name(PSID sid) {
  char name[256];
  char domain[256];
  DWORD name_size = sizeof name;
  DWORD domain_size = sizeof domain;
  SID_NAME_USE use;
  if (sid && LookupAccountSidA(nullptr, sid, name, &name_size, domain, &domain_size, &use))
    return name;
  return "another user";
}

bool trusted_owner(PSID owner) {
  return owner && (is_user(owner) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                   IsWellKnownSid(owner, WinLocalSystemSid));
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Two handles on files of one folder (a journal's name and the journal):
// the file index tells them apart. (Wine gives some handles a volume
// serial number of 0.)
bool same_identity(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION x;
  BY_HANDLE_FILE_INFORMATION y;
  return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
         x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

}  // namespace

MakeFailure last_failure() {
  switch (GetLastError()) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return MakeFailure::kNoRoom;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return MakeFailure::kNotWritable;
    default:
      return MakeFailure::kOther;
  }
}

bool file_identity(FileHandle file, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(as_handle(file), &info)) return false;
  identity->device = info.dwVolumeSerialNumber;
  identity->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  // The file index of NTFS holds a sequence number that changes when the
  // index is used again, so it tells a file from a later one by itself.
  identity->birth = 0;
  return true;
}

std::string path_of(FileHandle file) {
  char buffer[4096];
  const DWORD n = GetFinalPathNameByHandleA(as_handle(file), buffer, sizeof buffer,
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= sizeof buffer) return {};
  std::string path(buffer, n);
  // The system's long-path prefix.
  if (path.rfind("\\\\?\\", 0) == 0) path.erase(0, 4);
  return path;
}

FoundFile find_private_file(const char* name, FileHandle target) {
  (void)target;
  FoundFile found;
  HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
    handle = CreateFileA(name, GENERIC_READ | DELETE, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                         error == ERROR_FILENAME_EXCED_RANGE || error == ERROR_INVALID_NAME;
    found.kind = missing ? FoundFile::kMissing : FoundFile::kOtherUser;
    if (!missing) {
      PSID owner = nullptr;
      PSECURITY_DESCRIPTOR descriptor = nullptr;
      if (GetNamedSecurityInfoA(name, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                nullptr, nullptr, &descriptor) == ERROR_SUCCESS)
        found.owner = account_name(owner);
      else
        found.owner = "another user";
      if (descriptor) LocalFree(descriptor);
    }
    return found;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const DWORD odd = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & odd) != 0 || info.nNumberOfLinks != 1) {
    CloseHandle(handle);
    found.kind = FoundFile::kForeign;
    return found;
  }
  PSECURITY_DESCRIPTOR descriptor;
  PSID owner = owner_of(handle, &descriptor);
  const bool trusted = trusted_owner(owner);
  found.owner = account_name(owner);
  if (descriptor) LocalFree(descriptor);
  if (!trusted) {
    CloseHandle(handle);
    found.kind = FoundFile::kOtherUser;
    return found;
  }
  found.kind = FoundFile::kOpened;
  found.file = reinterpret_cast<FileHandle>(handle);
  return found;
}

FileHandle make_locked_file(const char* name, const void* head, int64_t size, MakeFailure* why) {
  SECURITY_ATTRIBUTES security = {};
  security.nLength = sizeof security;
  PSECURITY_DESCRIPTOR descriptor = owner_only();
  security.lpSecurityDescriptor = descriptor;
  const std::string temporary = std::string(name) + ".new";
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD error = 0;
  for (int attempt = 0; attempt < 2 && handle == INVALID_HANDLE_VALUE; ++attempt) {
    // CREATE_NEW fails on any existing name, a link included.
    handle = CreateFileA(temporary.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll,
                         &security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE ||
        (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS))
      break;
    // One left by a run that died making it goes, unless it is locked.
    FoundFile left = find_private_file(temporary.c_str(), kNoFile);
    if (left.kind != FoundFile::kOpened) {
      error = ERROR_SHARING_VIOLATION;
      break;
    }
    const bool dead = try_lock(left.file);
    if (dead) remove_file(left.file, temporary.c_str());
    close_file(left.file);
    if (!dead) {
      error = ERROR_LOCK_VIOLATION;
      break;
    }
  }
  if (descriptor) LocalFree(descriptor);
  if (handle == INVALID_HANDLE_VALUE) {
    *why = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? MakeFailure::kNoRoom
           : error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT
               ? MakeFailure::kNotWritable
           : error == ERROR_FILENAME_EXCED_RANGE ? MakeFailure::kTooLong
           : error == ERROR_LOCK_VIOLATION       ? MakeFailure::kBusy
           : error == ERROR_SHARING_VIOLATION    ? MakeFailure::kTaken
                                                 : MakeFailure::kOther;
    return kNoFile;
  }
  const auto file = reinterpret_cast<FileHandle>(handle);
  if (!try_lock(file) || !write_at(file, static_cast<const char*>(head), size, 0)) {
    *why = MakeFailure::kNoRoom;
  } else if (!MoveFileExA(temporary.c_str(), name, 0)) {
    error = GetLastError();
    *why = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? MakeFailure::kExists
                                                                       : MakeFailure::kOther;
  } else {
    *why = MakeFailure::kNone;
    return file;
  }
  FILE_DISPOSITION_INFO gone = {TRUE};
  SetFileInformationByHandle(handle, FileDispositionInfo, &gone, sizeof gone);
  CloseHandle(handle);
  return kNoFile;
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

bool still_named(FileHandle file, const char* name) {
  HANDLE named = CreateFileA(name, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  const bool same = same_identity(named, as_handle(file));
  CloseHandle(named);
  return same;
}

bool remove_file(FileHandle file, const char* name) {
  if (!still_named(file, name)) return false;
  // Deleted when the last handle closes. Wine forgets a rename for this,
  // and then deletes nothing: the name is given too, which Windows, with
  // the deletion already pending, refuses harmlessly.
  FILE_DISPOSITION_INFO gone = {TRUE};
  const bool pending =
      SetFileInformationByHandle(as_handle(file), FileDispositionInfo, &gone, sizeof gone) != 0;
  return DeleteFileA(name) != 0 || pending;
}

std::string private_folder(bool make) {
  const char* local = std::getenv("LOCALAPPDATA");
  if (!local || !local[0]) return {};
  const std::string folder = std::string(local) + "\\qk";
  if (make && !CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    return {};
  const DWORD attributes = GetFileAttributesA(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return {};
  return folder;
}

// Windows keeps no mark QK could use on every file system; a journal is
// found by the file's identity beside it, and in the private folder.
bool set_mark(FileHandle, const std::string&) {
  return false;
}

bool get_mark(FileHandle, std::string*) {
  return false;
}

void remove_mark(FileHandle) {}

}  // namespace qk::platform
