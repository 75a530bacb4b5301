// POSIX calls for the restore journal: a journal file that nobody else can
// have prepared or may change, the identity and path of the file it
// protects, the mark that follows that file to every name, and the lock
// that keeps two runs from editing one file at once.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qk::platform {

namespace {

constexpr const char* kMarkName = "user.qk.journal";

int fd_of(FileHandle file) {
  return static_cast<int>(file);
}

bool missing_error(int error) {
  return error == ENOENT || error == ENAMETOOLONG || error == ENOTDIR;
}

// The fields of the line of /etc/passwd or /etc/group whose field `key`
// (counted from 0) is `value`. Read as plain text, not through the name
// service, which a static build cannot load; a user it does not list is
// treated as unknown.
std::vector<std::string> entry_of(const char* table, size_t key, const std::string& value) {
  std::vector<std::string> fields;
  FILE* file = std::fopen(table, "r");
  if (!file) return fields;
  char line[4096];
  while (std::fgets(line, sizeof line, file)) {
    fields.clear();
    std::string field;
    for (const char* c = line; *c && *c != '\n'; ++c) {
      if (*c == ':') {
        fields.push_back(field);
        field.clear();
      } else {
        field += *c;
      }
    }
    fields.push_back(field);
    if (fields.size() > key && fields[key] == value) break;
    fields.clear();
  }
  std::fclose(file);
  return fields;
}

std::string user_name(uid_t uid) {
  if (uid == 0) return "root";
  const std::vector<std::string> user = entry_of("/etc/passwd", 2, std::to_string(uid));
  if (!user.empty() && !user[0].empty()) return user[0];
  return "user " + std::to_string(uid);
}

bool in_group(uid_t uid, gid_t group) {
  const std::vector<std::string> user = entry_of("/etc/passwd", 2, std::to_string(uid));
  // Where the user cannot be looked up, they may be in it.
  if (user.size() < 4) return true;
  if (user[3] == std::to_string(group)) return true;
  const std::vector<std::string> members = entry_of("/etc/group", 2, std::to_string(group));
  if (members.size() < 4) return false;
  const std::string list = "," + members[3] + ",";
  return list.find("," + user[0] + ",") != std::string::npos;
}

// Whether user `uid` may write the file `st` describes.
bool may_write(uid_t uid, const struct stat& st) {
  if (uid == 0 || (st.st_mode & S_IWOTH)) return true;
  if (uid == st.st_uid) return (st.st_mode & S_IWUSR) != 0;
  return (st.st_mode & S_IWGRP) && in_group(uid, st.st_gid);
}

MakeFailure failure_of(int error) {
  switch (error) {
    case EEXIST:
      return MakeFailure::kExists;
    case EACCES:
    case EPERM:
    case EROFS:
      return MakeFailure::kNotWritable;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return MakeFailure::kNoRoom;
    case ENAMETOOLONG:
      return MakeFailure::kTooLong;
    default:
      return MakeFailure::kOther;
  }
}

// Gives the file `from` the name `to` unless something has that name.
int rename_without_replacing(const char* from, const char* to) {
#ifdef RENAME_NOREPLACE
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
#endif
  // Where the file system cannot rename that way: a second name, which
  // link() never gives over an existing one, then the first one goes.
  if (link(from, to) != 0) return errno;
  unlink(from);
  return 0;
}

}  // namespace

MakeFailure last_failure() {
  return failure_of(errno);
}

bool file_identity(FileHandle file, FileIdentity* identity) {
  struct stat st;
  if (fstat(fd_of(file), &st) != 0) return false;
  identity->device = static_cast<uint64_t>(st.st_dev);
  identity->index = static_cast<uint64_t>(st.st_ino);
  identity->birth = 0;
#ifdef STATX_BTIME
  struct statx sx;
  if (statx(fd_of(file), "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME))
    identity->birth = static_cast<uint64_t>(sx.stx_btime.tv_sec) * 1000000000u +
                      static_cast<uint64_t>(sx.stx_btime.tv_nsec);
#endif
  return true;
}

std::string path_of(FileHandle file) {
  const std::string link = "/proc/self/fd/" + std::to_string(fd_of(file));
  char buffer[4096];
  const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer);
  if (n <= 0 || n >= static_cast<ssize_t>(sizeof buffer) || buffer[0] != '/') return {};
  std::string path(buffer, static_cast<size_t>(n));
  // A file whose name is gone (the kernel then adds " (deleted)"), or one
  // renamed meanwhile: the path must name this very file.
  struct stat named;
  struct stat open;
  if (lstat(path.c_str(), &named) != 0 || fstat(fd_of(file), &open) != 0 ||
      named.st_dev != open.st_dev || named.st_ino != open.st_ino)
    return {};
  return path;
}

FoundFile find_private_file(const char* name, FileHandle target) {
  FoundFile found;
  struct stat named;
  if (lstat(name, &named) != 0) {
    found.kind = missing_error(errno) ? FoundFile::kMissing : FoundFile::kForeign;
    return found;
  }
  struct stat of_target;
  if (fstat(fd_of(target), &of_target) != 0) {
    found.kind = FoundFile::kForeign;
    return found;
  }
  const bool plain =
      S_ISREG(named.st_mode) && named.st_nlink == 1 && (named.st_mode & (S_IWGRP | S_IWOTH)) == 0;
  const uid_t me = geteuid();
  const bool trusted = named.st_uid == me || named.st_uid == 0;
  found.kind = FoundFile::kForeign;
  if (!plain || (!trusted && !may_write(named.st_uid, of_target))) return found;
  found.owner = user_name(named.st_uid);
  // Writing too where it may: finishing an edit from its map notes its
  // progress in the journal.
  int fd = -1;
  for (const int access : {O_RDWR, O_RDONLY}) {
    if (access == O_RDWR && !trusted) continue;
    do {
      fd = open(name, access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 || errno != EACCES) break;
  }
  struct stat opened;
  if (fd >= 0 && (fstat(fd, &opened) != 0 || opened.st_dev != named.st_dev ||
                  opened.st_ino != named.st_ino || !S_ISREG(opened.st_mode))) {
    // Swapped for something else since the look: nothing to trust.
    close(fd);
    return found;
  }
  if (!trusted || fd < 0) {
    if (fd >= 0) close(fd);
    if (fd < 0 && missing_error(errno)) {
      found.kind = FoundFile::kMissing;
      return found;
    }
    found.kind = FoundFile::kOtherUser;
    return found;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  found.kind = FoundFile::kOpened;
  found.file = fd;
  return found;
}

namespace {

// Opens `temporary` as a new file of this user's. One left by a run that
// died making it (this user's, and nobody holds its lock) goes first.
int make_temporary(const std::string& temporary, MakeFailure* why) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd;
    // O_EXCL never follows a link: a link of that name is a name taken.
    do {
      fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) return fd;
    if (errno != EEXIST) {
      *why = failure_of(errno);
      return -1;
    }
    struct stat st;
    if (lstat(temporary.c_str(), &st) != 0) continue;
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
      *why = MakeFailure::kTaken;
      return -1;
    }
    const int left = open(temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (left < 0) {
      *why = MakeFailure::kTaken;
      return -1;
    }
    const bool dead = try_lock(left);
    if (dead) remove_file(left, temporary.c_str());
    close(left);
    if (!dead) {
      *why = MakeFailure::kBusy;
      return -1;
    }
  }
  *why = MakeFailure::kTaken;
  return -1;
}

}  // namespace

FileHandle make_locked_file(const char* name, const void* head, int64_t size, MakeFailure* why) {
  const std::string temporary = std::string(name) + ".new";
  const int fd = make_temporary(temporary, why);
  if (fd < 0) return kNoFile;
  int error = 0;
  if (!try_lock(fd) || !write_at(fd, static_cast<const char*>(head), size, 0))
    error = errno ? errno : EIO;
  if (error == 0) error = rename_without_replacing(temporary.c_str(), name);
  if (error != 0) {
    unlink(temporary.c_str());
    close(fd);
    *why = failure_of(error);
    return kNoFile;
  }
  *why = MakeFailure::kNone;
  return fd;
}

bool try_lock(FileHandle file) {
  int rc;
  do {
    rc = flock(fd_of(file), LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 || errno != EWOULDBLOCK;
}

bool still_named(FileHandle file, const char* name) {
  struct stat open;
  struct stat named;
  return fstat(fd_of(file), &open) == 0 && open.st_nlink > 0 && lstat(name, &named) == 0 &&
         named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

bool remove_file(FileHandle file, const char* name) {
  return still_named(file, name) && unlink(name) == 0;
}

std::string private_folder(bool make) {
  std::string base;
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  if (state && state[0] == '/') {
    base = state;
  } else if (home && home[0] == '/') {
    base = std::string(home) + "/.local/state";
  } else {
    return {};
  }
  // Made one folder at a time; those made here are this user's alone.
  std::string path;
  size_t from = 1;
  const std::string wanted = base + "/qk";
  while (make && from <= wanted.size()) {
    const size_t slash = wanted.find('/', from);
    path = wanted.substr(0, slash == std::string::npos ? wanted.size() : slash);
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return {};
    if (slash == std::string::npos) break;
    from = slash + 1;
  }
  struct stat st;
  if (lstat(wanted.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return {};
  return wanted;
}

bool set_mark(FileHandle file, const std::string& value) {
  return fsetxattr(fd_of(file), kMarkName, value.data(), value.size(), 0) == 0;
}

bool get_mark(FileHandle file, std::string* value) {
  char buffer[4096];
  const ssize_t n = fgetxattr(fd_of(file), kMarkName, buffer, sizeof buffer);
  if (n <= 0) return false;
  value->assign(buffer, static_cast<size_t>(n));
  return true;
}

void remove_mark(FileHandle file) {
  fremovexattr(fd_of(file), kMarkName);
}

}  // namespace qk::platform
