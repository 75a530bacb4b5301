// POSIX calls for the restore journal: a journal file that nobody else can
// have prepared or may change, the identity of the file it protects, and
// the lock that keeps two runs from editing one file at once.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace qk::platform {

bool file_identity(FileHandle file, FileIdentity* identity) {
  struct stat st;
  if (fstat(static_cast<int>(file), &st) != 0) return false;
  identity->device = static_cast<uint64_t>(st.st_dev);
  identity->index = static_cast<uint64_t>(st.st_ino);
  return true;
}

FileHandle create_private_file(const char* name, Opened* outcome) {
  // O_EXCL never follows a link: a link of that name is a name taken.
  int fd;
  do {
    fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    *outcome = Opened::kOpened;
    return fd;
  }
  *outcome = errno == EEXIST ? Opened::kExists : Opened::kFailed;
  return kNoFile;
}

FileHandle open_private_file(const char* name, Opened* outcome) {
  // Most runs find no journal: one call says so.
  struct stat named;
  if (lstat(name, &named) != 0) {
    const bool missing = errno == ENOENT || errno == ENAMETOOLONG || errno == ENOTDIR;
    *outcome = missing ? Opened::kMissing : Opened::kRefused;
    return kNoFile;
  }
  int fd;
  do {
    fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const bool missing = errno == ENOENT || errno == ENAMETOOLONG || errno == ENOTDIR;
    *outcome = missing ? Opened::kMissing : Opened::kRefused;
    return kNoFile;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    close(fd);
    *outcome = Opened::kRefused;
    return kNoFile;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  *outcome = Opened::kOpened;
  return fd;
}

bool owned_by_this_user(FileHandle file) {
  struct stat st;
  if (fstat(static_cast<int>(file), &st) != 0) return false;
  const bool owner = st.st_uid == geteuid() || st.st_uid == 0;
  return owner && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool try_lock(FileHandle file) {
  int rc;
  do {
    rc = flock(static_cast<int>(file), LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 || errno != EWOULDBLOCK;
}

bool remove_file(const char* name) {
  return unlink(name) == 0;
}

}  // namespace qk::platform
