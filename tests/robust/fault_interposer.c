/* I/O fault interposer for the fault-injection test. Linked into that one
 * test executable only: it defines the C library's file calls, finds the real
 * ones with dlsym(RTLD_NEXT) and, when armed, makes the nth call of one kind
 * fail with a chosen errno. Calls count only when they touch the watched
 * directory, by path or through a descriptor opened below it. */
#undef _FORTIFY_SOURCE
#define _GNU_SOURCE 1

#include "fault_control.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#define KEL_MAX_FD 4096

static char watched[4096];
static size_t watched_length;
static int counting;
static long calls[kelFaultKinds];
static int armed_kind = -1;
static long armed_nth;
static int armed_error;
static long fired;
static unsigned char tracked[KEL_MAX_FD];
static int hook_kind = -1;
static long hook_nth;
static void (*hook_fn)(void*);
static void* hook_arg;
static int whole_seconds;

static const char* const names[kelFaultKinds] = {
    "open",   "read",   "write", "fsync", "fdatasync", "rename", "link",
    "ftruncate", "lseek", "unlink", "stat", "copy", "chmod", "lock"};

void kel_fault_watch(const char* dir) {
  if (dir == NULL) {
    watched_length = 0;
    watched[0] = '\0';
    memset(tracked, 0, sizeof tracked);
    return;
  }
  size_t length = strlen(dir);
  if (length >= sizeof watched) length = sizeof watched - 1;
  memcpy(watched, dir, length);
  watched[length] = '\0';
  while (length > 1 && watched[length - 1] == '/') watched[--length] = '\0';
  watched_length = length;
}

void kel_fault_count(int on) { counting = on; }

void kel_fault_reset(void) {
  memset(calls, 0, sizeof calls);
  hook_kind = -1;
  hook_fn = NULL;
  armed_kind = -1;
  armed_nth = 0;
  armed_error = 0;
  fired = 0;
}

void kel_fault_arm(int kind, long nth, int error) {
  armed_kind = kind;
  armed_nth = nth;
  armed_error = error;
}

long kel_fault_calls(int kind) {
  return kind >= 0 && kind < kelFaultKinds ? calls[kind] : 0;
}

long kel_fault_fired(void) { return fired; }

void kel_fault_before(int kind, long nth, void (*fn)(void*), void* arg) {
  hook_kind = kind;
  hook_nth = nth;
  hook_fn = fn;
  hook_arg = arg;
}

void kel_fault_whole_seconds(int on) { whole_seconds = on; }

const char* kel_fault_name(int kind) {
  return kind >= 0 && kind < kelFaultKinds ? names[kind] : "?";
}

static void* real(const char* name) {
  void* fn = dlsym(RTLD_NEXT, name);
  if (fn == NULL) {
    fprintf(stderr, "fault interposer: no real %s\n", name);
    abort();
  }
  return fn;
}

/* Function pointers from dlsym, converted the way POSIX sanctions. */
#define LOAD(target, name)                 \
  do {                                     \
    void* found_ = real(name);             \
    memcpy(&(target), &found_, sizeof found_); \
  } while (0)

#define REAL(type, name)                      \
  static __typeof__(type) real_fn = NULL;     \
  if (real_fn == NULL) LOAD(real_fn, name)

static int fd_watched(int fd) {
  return watched_length > 0 && fd >= 0 && fd < KEL_MAX_FD && tracked[fd];
}

static int path_watched(int dirfd, const char* path) {
  if (watched_length == 0 || path == NULL) return 0;
  if (path[0] != '/') {
    if (dirfd != AT_FDCWD) return fd_watched(dirfd);
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == NULL) return 0;
    size_t length = strlen(cwd);
    return strncmp(cwd, watched, watched_length) == 0 &&
           (length == watched_length || cwd[watched_length] == '/');
  }
  return strncmp(path, watched, watched_length) == 0 &&
         (path[watched_length] == '\0' || path[watched_length] == '/');
}

static void track(int fd, int yes) {
  if (fd >= 0 && fd < KEL_MAX_FD) tracked[fd] = (unsigned char)yes;
}

/* Counts a call of `kind` that touches the watched tree; returns 1 (with
 * errno set) when this call is the one to fail, 2 when it is to transfer
 * only part of what it was asked for. */
static int inject(int kind, int relevant) {
  if (!relevant || !counting) return 0;
  long n = ++calls[kind];
  if (kind == hook_kind && n == hook_nth && hook_fn != NULL) {
    void (*fn)(void*) = hook_fn;
    hook_fn = NULL;
    counting = 0;
    fn(hook_arg);
    counting = 1;
  }
  if (kind == armed_kind && n == armed_nth) {
    ++fired;
    if (armed_error == KEL_FAULT_SHORT) return kind == kelFaultRead || kind == kelFaultWrite ? 2 : 0;
    errno = armed_error;
    return 1;
  }
  return 0;
}

/* The count a shortened transfer asks for. */
static size_t shorten(int verdict, size_t count) {
  return verdict == 2 && count > 1 ? count / 2 : count;
}

static int needs_mode(int flags) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

static int do_openat(const char* which, int dirfd, const char* path, int flags,
                     mode_t mode) {
  int relevant = path_watched(dirfd, path);
  if (inject(kelFaultOpen, relevant)) return -1;
  int fd;
  if (strcmp(which, "open") == 0 || strcmp(which, "open64") == 0) {
    typedef int (*fn_t)(const char*, int, ...);
    static fn_t real_open = NULL, real_open64 = NULL;
    if (which[4] == '6') {
      if (real_open64 == NULL) LOAD(real_open64, "open64");
      fd = real_open64(path, flags, mode);
    } else {
      if (real_open == NULL) LOAD(real_open, "open");
      fd = real_open(path, flags, mode);
    }
  } else {
    typedef int (*fn_t)(int, const char*, int, ...);
    static fn_t real_openat = NULL, real_openat64 = NULL;
    if (which[6] == '6') {
      if (real_openat64 == NULL) LOAD(real_openat64, "openat64");
      fd = real_openat64(dirfd, path, flags, mode);
    } else {
      if (real_openat == NULL) LOAD(real_openat, "openat");
      fd = real_openat(dirfd, path, flags, mode);
    }
  }
  if (fd >= 0) track(fd, relevant);
  return fd;
}

#define MODE_ARG(flags, mode)          \
  mode_t mode = 0;                     \
  if (needs_mode(flags)) {             \
    va_list ap;                        \
    va_start(ap, flags);               \
    mode = (mode_t)va_arg(ap, int);    \
    va_end(ap);                        \
  }

int open(const char* path, int flags, ...) {
  MODE_ARG(flags, mode);
  return do_openat("open", AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  MODE_ARG(flags, mode);
  return do_openat("open64", AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
  MODE_ARG(flags, mode);
  return do_openat("openat", dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  MODE_ARG(flags, mode);
  return do_openat("openat64", dirfd, path, flags, mode);
}

int close(int fd) {
  REAL(int (*)(int), "close");
  track(fd, 0);
  return real_fn(fd);
}

int dup(int fd) {
  REAL(int (*)(int), "dup");
  int copy = real_fn(fd);
  if (copy >= 0) track(copy, fd_watched(fd));
  return copy;
}

int dup2(int fd, int to) {
  REAL(int (*)(int, int), "dup2");
  int copy = real_fn(fd, to);
  if (copy >= 0) track(copy, fd_watched(fd));
  return copy;
}

int dup3(int fd, int to, int flags) {
  REAL(int (*)(int, int, int), "dup3");
  int copy = real_fn(fd, to, flags);
  if (copy >= 0) track(copy, fd_watched(fd));
  return copy;
}

ssize_t read(int fd, void* buffer, size_t count) {
  REAL(ssize_t (*)(int, void*, size_t), "read");
  const int verdict = inject(kelFaultRead, fd_watched(fd));
  if (verdict == 1) return -1;
  return real_fn(fd, buffer, shorten(verdict, count));
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  REAL(ssize_t (*)(int, void*, size_t, off_t), "pread");
  const int verdict = inject(kelFaultRead, fd_watched(fd));
  if (verdict == 1) return -1;
  return real_fn(fd, buffer, shorten(verdict, count), offset);
}

ssize_t pread64(int fd, void* buffer, size_t count, off64_t offset) {
  REAL(ssize_t (*)(int, void*, size_t, off64_t), "pread64");
  const int verdict = inject(kelFaultRead, fd_watched(fd));
  if (verdict == 1) return -1;
  return real_fn(fd, buffer, shorten(verdict, count), offset);
}

ssize_t write(int fd, const void* buffer, size_t count) {
  REAL(ssize_t (*)(int, const void*, size_t), "write");
  const int verdict = inject(kelFaultWrite, fd_watched(fd));
  if (verdict == 1) return -1;
  return real_fn(fd, buffer, shorten(verdict, count));
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  REAL(ssize_t (*)(int, const void*, size_t, off_t), "pwrite");
  const int verdict = inject(kelFaultWrite, fd_watched(fd));
  if (verdict == 1) return -1;
  return real_fn(fd, buffer, shorten(verdict, count), offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t count, off64_t offset) {
  REAL(ssize_t (*)(int, const void*, size_t, off64_t), "pwrite64");
  const int verdict = inject(kelFaultWrite, fd_watched(fd));
  if (verdict == 1) return -1;
  return real_fn(fd, buffer, shorten(verdict, count), offset);
}

int fsync(int fd) {
  REAL(int (*)(int), "fsync");
  if (inject(kelFaultFsync, fd_watched(fd))) return -1;
  return real_fn(fd);
}

int fdatasync(int fd) {
  REAL(int (*)(int), "fdatasync");
  if (inject(kelFaultFdatasync, fd_watched(fd))) return -1;
  return real_fn(fd);
}

int rename(const char* from, const char* to) {
  REAL(int (*)(const char*, const char*), "rename");
  if (inject(kelFaultRename, path_watched(AT_FDCWD, from) ||
                                 path_watched(AT_FDCWD, to))) {
    return -1;
  }
  return real_fn(from, to);
}

int renameat(int fromfd, const char* from, int tofd, const char* to) {
  REAL(int (*)(int, const char*, int, const char*), "renameat");
  if (inject(kelFaultRename, path_watched(fromfd, from) || path_watched(tofd, to))) {
    return -1;
  }
  return real_fn(fromfd, from, tofd, to);
}

int renameat2(int fromfd, const char* from, int tofd, const char* to,
              unsigned int flags) {
  REAL(int (*)(int, const char*, int, const char*, unsigned int), "renameat2");
  if (inject(kelFaultRename, path_watched(fromfd, from) || path_watched(tofd, to))) {
    return -1;
  }
  return real_fn(fromfd, from, tofd, to, flags);
}

int link(const char* from, const char* to) {
  REAL(int (*)(const char*, const char*), "link");
  if (inject(kelFaultLink, path_watched(AT_FDCWD, from) ||
                               path_watched(AT_FDCWD, to))) {
    return -1;
  }
  return real_fn(from, to);
}

int linkat(int fromfd, const char* from, int tofd, const char* to, int flags) {
  REAL(int (*)(int, const char*, int, const char*, int), "linkat");
  if (inject(kelFaultLink, path_watched(fromfd, from) || path_watched(tofd, to))) {
    return -1;
  }
  return real_fn(fromfd, from, tofd, to, flags);
}

int ftruncate(int fd, off_t length) {
  REAL(int (*)(int, off_t), "ftruncate");
  if (inject(kelFaultFtruncate, fd_watched(fd))) return -1;
  return real_fn(fd, length);
}

int ftruncate64(int fd, off64_t length) {
  REAL(int (*)(int, off64_t), "ftruncate64");
  if (inject(kelFaultFtruncate, fd_watched(fd))) return -1;
  return real_fn(fd, length);
}

off_t lseek(int fd, off_t offset, int whence) {
  REAL(off_t (*)(int, off_t, int), "lseek");
  if (inject(kelFaultLseek, fd_watched(fd))) return -1;
  return real_fn(fd, offset, whence);
}

off64_t lseek64(int fd, off64_t offset, int whence) {
  REAL(off64_t (*)(int, off64_t, int), "lseek64");
  if (inject(kelFaultLseek, fd_watched(fd))) return -1;
  return real_fn(fd, offset, whence);
}

int unlink(const char* path) {
  REAL(int (*)(const char*), "unlink");
  if (inject(kelFaultUnlink, path_watched(AT_FDCWD, path))) return -1;
  return real_fn(path);
}

int unlinkat(int dirfd, const char* path, int flags) {
  REAL(int (*)(int, const char*, int), "unlinkat");
  if (inject(kelFaultUnlink, path_watched(dirfd, path))) return -1;
  return real_fn(dirfd, path, flags);
}

static int coarse(int result, int relevant, struct stat* out) {
  if (result == 0 && relevant && whole_seconds) {
    out->st_atim.tv_nsec = 0;
    out->st_mtim.tv_nsec = 0;
    out->st_ctim.tv_nsec = 0;
  }
  return result;
}

static int coarse64(int result, int relevant, struct stat64* out) {
  if (result == 0 && relevant && whole_seconds) {
    out->st_atim.tv_nsec = 0;
    out->st_mtim.tv_nsec = 0;
    out->st_ctim.tv_nsec = 0;
  }
  return result;
}

int stat(const char* path, struct stat* out) {
  REAL(int (*)(const char*, struct stat*), "stat");
  int relevant = path_watched(AT_FDCWD, path);
  if (inject(kelFaultStat, relevant)) return -1;
  return coarse(real_fn(path, out), relevant, out);
}

int stat64(const char* path, struct stat64* out) {
  REAL(int (*)(const char*, struct stat64*), "stat64");
  int relevant = path_watched(AT_FDCWD, path);
  if (inject(kelFaultStat, relevant)) return -1;
  return coarse64(real_fn(path, out), relevant, out);
}

int lstat(const char* path, struct stat* out) {
  REAL(int (*)(const char*, struct stat*), "lstat");
  int relevant = path_watched(AT_FDCWD, path);
  if (inject(kelFaultStat, relevant)) return -1;
  return coarse(real_fn(path, out), relevant, out);
}

int lstat64(const char* path, struct stat64* out) {
  REAL(int (*)(const char*, struct stat64*), "lstat64");
  int relevant = path_watched(AT_FDCWD, path);
  if (inject(kelFaultStat, relevant)) return -1;
  return coarse64(real_fn(path, out), relevant, out);
}

int fstat(int fd, struct stat* out) {
  REAL(int (*)(int, struct stat*), "fstat");
  int relevant = fd_watched(fd);
  if (inject(kelFaultStat, relevant)) return -1;
  return coarse(real_fn(fd, out), relevant, out);
}

int fstat64(int fd, struct stat64* out) {
  REAL(int (*)(int, struct stat64*), "fstat64");
  int relevant = fd_watched(fd);
  if (inject(kelFaultStat, relevant)) return -1;
  return coarse64(real_fn(fd, out), relevant, out);
}

int fstatat(int dirfd, const char* path, struct stat* out, int flags) {
  REAL(int (*)(int, const char*, struct stat*, int), "fstatat");
  int relevant = (path[0] == '\0' && (flags & AT_EMPTY_PATH))
                     ? fd_watched(dirfd)
                     : path_watched(dirfd, path);
  if (inject(kelFaultStat, relevant)) return -1;
  return coarse(real_fn(dirfd, path, out, flags), relevant, out);
}

int fstatat64(int dirfd, const char* path, struct stat64* out, int flags) {
  REAL(int (*)(int, const char*, struct stat64*, int), "fstatat64");
  int relevant = (path[0] == '\0' && (flags & AT_EMPTY_PATH))
                     ? fd_watched(dirfd)
                     : path_watched(dirfd, path);
  if (inject(kelFaultStat, relevant)) return -1;
  return coarse64(real_fn(dirfd, path, out, flags), relevant, out);
}

ssize_t sendfile(int out, int in, off_t* offset, size_t count) {
  REAL(ssize_t (*)(int, int, off_t*, size_t), "sendfile");
  if (inject(kelFaultCopy, fd_watched(out) || fd_watched(in))) return -1;
  return real_fn(out, in, offset, count);
}

ssize_t sendfile64(int out, int in, off64_t* offset, size_t count) {
  REAL(ssize_t (*)(int, int, off64_t*, size_t), "sendfile64");
  if (inject(kelFaultCopy, fd_watched(out) || fd_watched(in))) return -1;
  return real_fn(out, in, offset, count);
}

ssize_t copy_file_range(int in, off64_t* in_offset, int out, off64_t* out_offset,
                        size_t count, unsigned int flags) {
  REAL(ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned int),
       "copy_file_range");
  if (inject(kelFaultCopy, fd_watched(out) || fd_watched(in))) return -1;
  return real_fn(in, in_offset, out, out_offset, count, flags);
}

int fchmod(int fd, mode_t mode) {
  REAL(int (*)(int, mode_t), "fchmod");
  if (inject(kelFaultChmod, fd_watched(fd))) return -1;
  return real_fn(fd, mode);
}

int chmod(const char* path, mode_t mode) {
  REAL(int (*)(const char*, mode_t), "chmod");
  if (inject(kelFaultChmod, path_watched(AT_FDCWD, path))) return -1;
  return real_fn(path, mode);
}

static int is_lock(int cmd, void* arg) {
  if (cmd == F_SETLK || cmd == F_SETLKW || cmd == F_OFD_SETLK || cmd == F_OFD_SETLKW) {
    const struct flock* lock = (const struct flock*)arg;
    return lock != NULL && lock->l_type != F_UNLCK;
  }
  return 0;
}

static int do_fcntl(const char* which, int fd, int cmd, void* arg) {
  typedef int (*fn_t)(int, int, ...);
  static fn_t real_fcntl = NULL, real_fcntl64 = NULL;
  fn_t fn;
  if (which[5] == '6') {
    if (real_fcntl64 == NULL) LOAD(real_fcntl64, "fcntl64");
    fn = real_fcntl64;
  } else {
    if (real_fcntl == NULL) LOAD(real_fcntl, "fcntl");
    fn = real_fcntl;
  }
  if (is_lock(cmd, arg) && inject(kelFaultLock, fd_watched(fd))) return -1;
  int result = fn(fd, cmd, arg);
  if ((cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) && result >= 0) {
    track(result, fd_watched(fd));
  }
  return result;
}

int fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return do_fcntl("fcntl", fd, cmd, arg);
}

int fcntl64(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return do_fcntl("fcntl64", fd, cmd, arg);
}
