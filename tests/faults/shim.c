/* Fault injection for the end-to-end tests, loaded into qk with LD_PRELOAD.
 * It wraps the calls through which qk changes files (opening for writing,
 * write, pwrite, ftruncate, mmap and close) and can fail exactly one of
 * them, so a test can walk a run's write phase fault by fault.
 *
 * Only calls on descriptors opened for writing are counted: console output
 * and reading the target never are, which keeps the numbering the same for
 * every run of one command line.
 *
 *   QK_FAIL_CALL=n       fail the n-th counted call, whatever its kind
 *   QK_FAIL_CALL=kind:n  fail the n-th call of one kind: open, write,
 *                        truncate, mmap or close
 *   QK_FAIL_LOG=path     append the kind of every counted call, one a line,
 *                        with " journal" behind it for a call on a restore
 *                        journal (a name holding ".qk-journal")
 *   QK_WRITE_LOG=path    append "target OFFSET SIZE" (or "journal ...") for
 *                        every write made, one a line: the write pattern
 *                        of intelligent writing, seen from outside
 *   QK_SIGNAL_CALL=n     raise the signal QK_SIGNAL (a number) just before
 *                        the n-th counted call, which then goes ahead
 *   QK_FAIL_READ=n       fail the n-th positioned read (pread) of any file
 *                        with EIO; reads are counted apart from the calls
 *   QK_TEAR_CALL=n       kill the process with SIGKILL in the middle of the
 *                        n-th counted call: a write is made up to a 4 KiB
 *                        page edge of the file near its middle, as the
 *                        kernel stops a write a fatal signal interrupts
 *                        (a write within one page is not made at all);
 *                        another call is made whole
 *
 * A failed write, truncate or open returns -1 with ENOSPC, EIO or EACCES; a
 * failed mmap returns MAP_FAILED with ENOMEM; a failed close does close the
 * descriptor (as Linux does) and then reports EIO. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#define MAX_FDS 1024

static unsigned char writable[MAX_FDS];
static unsigned char journal[MAX_FDS];
static long counted;
static long counted_of_kind[8];
static int log_fd = -2;

enum kind { K_OPEN, K_WRITE, K_TRUNCATE, K_MMAP, K_CLOSE };
static const char* const kind_names[] = {"open", "write", "truncate", "mmap", "close"};

static void* next(const char* name) {
  return dlsym(RTLD_NEXT, name);
}

static void log_call(enum kind k, int on_journal) {
  static ssize_t (*real_write)(int, const void*, size_t);
  static int (*real_open)(const char*, int, ...);
  if (log_fd == -2) {
    const char* path = getenv("QK_FAIL_LOG");
    real_open = (int (*)(const char*, int, ...))next("open");
    log_fd = path && *path ? real_open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
  }
  if (log_fd < 0) return;
  if (!real_write) real_write = (ssize_t(*)(int, const void*, size_t))next("write");
  char line[32];
  size_t n = strlen(kind_names[k]);
  memcpy(line, kind_names[k], n);
  if (on_journal) {
    memcpy(line + n, " journal", 8);
    n += 8;
  }
  line[n++] = '\n';
  real_write(log_fd, line, n);
}

static int on_journal(int fd);

/* QK_WRITE_LOG: one line per write that goes ahead. */
static void log_write(int fd, off_t offset, size_t size) {
  static int write_log = -2;
  static ssize_t (*real_write)(int, const void*, size_t);
  if (write_log == -2) {
    const char* path = getenv("QK_WRITE_LOG");
    int (*real_open)(const char*, int, ...) = (int (*)(const char*, int, ...))next("open");
    write_log =
        path && *path ? real_open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
    real_write = (ssize_t(*)(int, const void*, size_t))next("write");
  }
  if (write_log < 0) return;
  char line[80];
  int n = snprintf(line, sizeof line, "%s %lld %zu\n", on_journal(fd) ? "journal" : "target",
                   (long long)offset, size);
  if (n > 0) real_write(write_log, line, (size_t)n);
}

/* Set by should_fail when the call it counts is the one QK_TEAR_CALL
 * names. */
static int tearing;

/* Counts one call and says whether it is the one to fail. */
static int should_fail(enum kind k, int on_journal) {
  long all = ++counted;
  long own = ++counted_of_kind[k];
  const char* tear_at = getenv("QK_TEAR_CALL");
  tearing = tear_at && atol(tear_at) == all;
  log_call(k, on_journal);
  const char* signal_at = getenv("QK_SIGNAL_CALL");
  const char* signal_number = getenv("QK_SIGNAL");
  if (signal_at && signal_number && atol(signal_at) == all) raise(atoi(signal_number));
  const char* wanted = getenv("QK_FAIL_CALL");
  if (!wanted || !*wanted) return 0;
  const char* colon = strchr(wanted, ':');
  if (!colon) return atol(wanted) == all;
  size_t len = (size_t)(colon - wanted);
  return strlen(kind_names[k]) == len && strncmp(wanted, kind_names[k], len) == 0 &&
         atol(colon + 1) == own;
}

static int tracked(int fd) {
  return fd >= 0 && fd < MAX_FDS && writable[fd];
}

static int on_journal(int fd) {
  return fd >= 0 && fd < MAX_FDS && journal[fd];
}

/* After a counted call that QK_TEAR_CALL names. */
static void die_if_tearing(void) {
  if (tearing) raise(SIGKILL);
}

/* The bytes of a write at `offset` that the kernel may have made when a
 * fatal signal stopped it: up to a page edge near the middle. */
static size_t torn_size(off_t offset, size_t size) {
  const off_t page = 4096;
  off_t edge = (offset + (off_t)size / 2) / page * page;
  if (edge <= offset) edge = (offset / page + 1) * page;
  return edge < offset + (off_t)size ? (size_t)(edge - offset) : 0;
}

static int is_journal(const char* path) {
  return strstr(path, ".qk-journal") != NULL;
}

static int open_common(const char* real_name, const char* path, int flags, mode_t mode) {
  int (*real)(const char*, int, ...) = (int (*)(const char*, int, ...))next(real_name);
  const int counted_call = (flags & O_ACCMODE) != O_RDONLY;
  if (counted_call && should_fail(K_OPEN, is_journal(path))) {
    errno = EACCES;
    return -1;
  }
  int fd = real(path, flags, mode);
  if (fd >= 0 && fd < MAX_FDS) {
    writable[fd] = counted_call;
    journal[fd] = is_journal(path);
  }
  if (counted_call) die_if_tearing();
  return fd;
}

static mode_t mode_arg(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_common("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_common("open64", path, flags, mode);
}

int __open_2(const char* path, int flags) {
  return open_common("open", path, flags, 0);
}

int __open64_2(const char* path, int flags) {
  return open_common("open64", path, flags, 0);
}

ssize_t write(int fd, const void* data, size_t size) {
  ssize_t (*real)(int, const void*, size_t) = (ssize_t(*)(int, const void*, size_t))next("write");
  if (tracked(fd) && should_fail(K_WRITE, on_journal(fd))) {
    errno = ENOSPC;
    return -1;
  }
  if (tracked(fd) && tearing) {
    real(fd, data, torn_size(lseek(fd, 0, SEEK_CUR), size));
    raise(SIGKILL);
  }
  if (tracked(fd)) log_write(fd, lseek(fd, 0, SEEK_CUR), size);
  return real(fd, data, size);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  ssize_t (*real)(int, const void*, size_t, off_t) =
      (ssize_t(*)(int, const void*, size_t, off_t))next("pwrite");
  if (tracked(fd) && should_fail(K_WRITE, on_journal(fd))) {
    errno = ENOSPC;
    return -1;
  }
  if (tracked(fd) && tearing) {
    real(fd, data, torn_size(offset, size), offset);
    raise(SIGKILL);
  }
  if (tracked(fd)) log_write(fd, offset, size);
  return real(fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off_t offset) {
  ssize_t (*real)(int, const void*, size_t, off_t) =
      (ssize_t(*)(int, const void*, size_t, off_t))next("pwrite64");
  if (tracked(fd) && should_fail(K_WRITE, on_journal(fd))) {
    errno = ENOSPC;
    return -1;
  }
  if (tracked(fd) && tearing) {
    real(fd, data, torn_size(offset, size), offset);
    raise(SIGKILL);
  }
  if (tracked(fd)) log_write(fd, offset, size);
  return real(fd, data, size, offset);
}

static long reads;

static int read_fails(void) {
  const char* wanted = getenv("QK_FAIL_READ");
  return wanted && *wanted && ++reads == atol(wanted);
}

ssize_t pread(int fd, void* data, size_t size, off_t offset) {
  ssize_t (*real)(int, void*, size_t, off_t) = (ssize_t(*)(int, void*, size_t, off_t))next("pread");
  if (read_fails()) {
    errno = EIO;
    return -1;
  }
  return real(fd, data, size, offset);
}

ssize_t pread64(int fd, void* data, size_t size, off_t offset) {
  ssize_t (*real)(int, void*, size_t, off_t) =
      (ssize_t(*)(int, void*, size_t, off_t))next("pread64");
  if (read_fails()) {
    errno = EIO;
    return -1;
  }
  return real(fd, data, size, offset);
}

int ftruncate(int fd, off_t length) {
  int (*real)(int, off_t) = (int (*)(int, off_t))next("ftruncate");
  const int counted_call = tracked(fd);
  if (counted_call && should_fail(K_TRUNCATE, on_journal(fd))) {
    errno = EIO;
    return -1;
  }
  int rc = real(fd, length);
  if (counted_call) die_if_tearing();
  return rc;
}

int ftruncate64(int fd, off_t length) {
  int (*real)(int, off_t) = (int (*)(int, off_t))next("ftruncate64");
  const int counted_call = tracked(fd);
  if (counted_call && should_fail(K_TRUNCATE, on_journal(fd))) {
    errno = EIO;
    return -1;
  }
  int rc = real(fd, length);
  if (counted_call) die_if_tearing();
  return rc;
}

void* mmap(void* address, size_t size, int protection, int flags, int fd, off_t offset) {
  void* (*real)(void*, size_t, int, int, int, off_t) =
      (void* (*)(void*, size_t, int, int, int, off_t))next("mmap");
  if (tracked(fd) && (protection & PROT_WRITE) && should_fail(K_MMAP, on_journal(fd))) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  return real(address, size, protection, flags, fd, offset);
}

void* mmap64(void* address, size_t size, int protection, int flags, int fd, off_t offset) {
  void* (*real)(void*, size_t, int, int, int, off_t) =
      (void* (*)(void*, size_t, int, int, int, off_t))next("mmap64");
  if (tracked(fd) && (protection & PROT_WRITE) && should_fail(K_MMAP, on_journal(fd))) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  return real(address, size, protection, flags, fd, offset);
}

int close(int fd) {
  int (*real)(int) = (int (*)(int))next("close");
  const int counted_call = tracked(fd);
  int fail = counted_call && should_fail(K_CLOSE, on_journal(fd));
  if (fd >= 0 && fd < MAX_FDS) writable[fd] = journal[fd] = 0;
  int rc = real(fd);
  if (counted_call) die_if_tearing();
  if (fail) {
    errno = EIO;
    return -1;
  }
  return rc;
}
