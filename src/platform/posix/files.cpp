// POSIX files for QK: open by name, size, positioned reads and writes, and
// setting a file's length. Every call retries on EINTR and on short
// transfers, so callers see one all-or-nothing operation.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>

#include "platform/platform.h"

namespace qk::platform {

namespace {

constexpr int64_t kMaxChunk = 1 << 30;  // Linux moves at most ~2 GiB per call

}  // namespace

FileKind file_kind(const char* name) {
  struct stat st;
  if (stat(name, &st) != 0) return FileKind::kMissing;
  return S_ISREG(st.st_mode) ? FileKind::kRegular : FileKind::kOther;
}

FileHandle open_file(const char* name, OpenMode mode, bool* missing) {
  int flags = O_CLOEXEC | O_NONBLOCK;
  switch (mode) {
    case OpenMode::kRead:
      flags |= O_RDONLY;
      break;
    case OpenMode::kUpdate:
      flags |= O_RDWR;
      break;
    case OpenMode::kCreate:
      flags |= O_RDWR | O_CREAT | O_TRUNC;
      break;
    case OpenMode::kOutput:
      flags |= O_RDWR | O_CREAT;
      break;
    case OpenMode::kAppend:
      flags |= O_RDWR | O_CREAT | O_APPEND;
      break;
  }
  int fd;
  do {
    fd = open(name, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (missing) *missing = fd < 0 && (errno == ENOENT || errno == ENOTDIR);
  if (fd < 0) return kNoFile;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return kNoFile;
  }
  // O_NONBLOCK only kept a FIFO from blocking the open; a regular file
  // does not need it.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool close_file(FileHandle file) {
  if (file == kNoFile) return true;
  return close(static_cast<int>(file)) == 0;
}

int64_t file_size(FileHandle file) {
  struct stat st;
  if (fstat(static_cast<int>(file), &st) != 0) return -1;
  return st.st_size;
}

bool read_at(FileHandle file, char* data, int64_t size, int64_t offset) {
  while (size > 0) {
    size_t chunk = static_cast<size_t>(size < kMaxChunk ? size : kMaxChunk);
    ssize_t got = pread(static_cast<int>(file), data, chunk, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= got;
    offset += got;
  }
  return true;
}

namespace {

bool write_all(int fd, const char* data, int64_t size, int64_t offset, bool append) {
  while (size > 0) {
    size_t chunk = static_cast<size_t>(size < kMaxChunk ? size : kMaxChunk);
    ssize_t put = append ? write(fd, data, chunk) : pwrite(fd, data, chunk, offset);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    size -= put;
    offset += put;
  }
  return true;
}

}  // namespace

bool write_at(FileHandle file, const char* data, int64_t size, int64_t offset) {
  return write_all(static_cast<int>(file), data, size, offset, false);
}

bool write_appending(FileHandle file, const char* data, int64_t size) {
  return write_all(static_cast<int>(file), data, size, 0, true);
}

bool reserve_room(FileHandle file, int64_t length) {
  const int64_t size = file_size(file);
  if (size < 0) return false;
  if (length <= size) return true;
  // Room set aside past the length is not held to the file-size limit:
  // the writes into it would be.
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      static_cast<uint64_t>(length) > static_cast<uint64_t>(limit.rlim_cur)) {
    errno = EFBIG;
    return false;
  }
#ifdef FALLOC_FL_KEEP_SIZE
  int rc;
  do {
    rc = fallocate(static_cast<int>(file), FALLOC_FL_KEEP_SIZE, size, length - size);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return true;
  return errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL;
#else
  return true;
#endif
}

FileHandle duplicate_file(FileHandle file) {
  const int fd = fcntl(static_cast<int>(file), F_DUPFD_CLOEXEC, 0);
  return fd < 0 ? kNoFile : fd;
}

bool set_length(FileHandle file, int64_t length) {
  int rc;
  do {
    rc = ftruncate(static_cast<int>(file), length);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace qk::platform
