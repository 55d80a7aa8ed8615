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
#include <sys/random.h>
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
static int no_randomness;
static int syncs_off;
/* Recording: the log, and what each watched descriptor refers to. */
static int recording;
static struct KelRecord* log_records;
static long log_count, log_capacity;
static unsigned long long inode_of[KEL_MAX_FD];
static unsigned char is_directory[KEL_MAX_FD];

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

void kel_fault_syncs_off(int on) { syncs_off = on; }

void kel_fault_no_randomness(int on) { no_randomness = on; }

static void clear_log(void) {
  for (long i = 0; i < log_count; ++i) free((void*)log_records[i].data);
  free(log_records);
  log_records = NULL;
  log_count = log_capacity = 0;
}

void kel_fault_record(int on) {
  if (on) clear_log();
  recording = on;
}

long kel_fault_record_count(void) { return log_count; }

const struct KelRecord* kel_fault_record_at(long i) {
  return i >= 0 && i < log_count ? &log_records[i] : NULL;
}

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

static void track_copy(int copy, int fd) {
  track(copy, fd_watched(fd));
  if (copy >= 0 && copy < KEL_MAX_FD && fd >= 0 && fd < KEL_MAX_FD) {
    inode_of[copy] = inode_of[fd];
    is_directory[copy] = is_directory[fd];
  }
}

/* The real calls the recorder itself needs, never counted or recorded. */
static int real_fstat(int fd, struct stat* out) {
  static int (*fn)(int, struct stat*) = NULL;
  if (fn == NULL) LOAD(fn, "fstat");
  return fn(fd, out);
}

static off_t real_lseek(int fd, off_t offset, int whence) {
  static off_t (*fn)(int, off_t, int) = NULL;
  if (fn == NULL) LOAD(fn, "lseek");
  return fn(fd, offset, whence);
}

static ssize_t real_pread(int fd, void* buffer, size_t count, off_t offset) {
  static ssize_t (*fn)(int, void*, size_t, off_t) = NULL;
  if (fn == NULL) LOAD(fn, "pread");
  return fn(fd, buffer, count, offset);
}

/* `path` as a name relative to the watched directory (the store's calls
 * name files by absolute path or relative to the descriptor of it). */
static void relative_name(const char* path, char* out) {
  out[0] = '\0';
  if (path == NULL) return;
  const char* name = path;
  if (path[0] == '/') {
    if (strncmp(path, watched, watched_length) != 0) return;
    name = path + watched_length;
    while (*name == '/') ++name;
  }
  snprintf(out, 256, "%s", name);
}

static struct KelRecord* add_record(int kind) {
  if (log_count == log_capacity) {
    long capacity = log_capacity == 0 ? 64 : 2 * log_capacity;
    struct KelRecord* grown = realloc(log_records, (size_t)capacity * sizeof *grown);
    if (grown == NULL) abort();
    log_records = grown;
    log_capacity = capacity;
  }
  struct KelRecord* record = &log_records[log_count++];
  memset(record, 0, sizeof *record);
  record->kind = kind;
  return record;
}

static int recorded_fd(int fd) { return recording && fd_watched(fd); }

static void record_write(int fd, off_t offset, const void* data, ssize_t length) {
  if (!recorded_fd(fd) || length <= 0) return;
  struct KelRecord* record = add_record(kelRecordWrite);
  record->file = inode_of[fd];
  record->offset = offset;
  record->length = length;
  unsigned char* copy = malloc((size_t)length);
  if (copy == NULL) abort();
  memcpy(copy, data, (size_t)length);
  record->data = copy;
}

/* A write through the descriptor's position: where it went is known after. */
static void record_positioned(int fd, const void* data, ssize_t length) {
  if (!recorded_fd(fd) || length <= 0) return;
  record_write(fd, real_lseek(fd, 0, SEEK_CUR) - length, data, length);
}

/* A kernel-side copy: the bytes are read back from the source. */
static void record_copy(int out, off_t out_at, int in, off_t in_at, ssize_t length) {
  if (!recorded_fd(out) || length <= 0) return;
  unsigned char* bytes = malloc((size_t)length);
  if (bytes == NULL) abort();
  if (real_pread(in, bytes, (size_t)length, in_at) == length) {
    record_write(out, out_at, bytes, length);
  }
  free(bytes);
}

static void record_names(int kind, int fromfd, const char* from, int tofd,
                         const char* to) {
  if (!recording || !(path_watched(fromfd, from) || path_watched(tofd, to))) return;
  struct KelRecord* record = add_record(kind);
  relative_name(from, record->name);
  if (to != NULL) relative_name(to, record->name2);
}

static void record_file(int kind, int fd, long long offset) {
  if (!recorded_fd(fd)) return;
  if (kind == kelRecordSync && is_directory[fd]) kind = kelRecordDirSync;
  struct KelRecord* record = add_record(kind);
  record->file = inode_of[fd];
  record->offset = offset;
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
    if (armed_error == KEL_FAULT_SKIP) return 3;
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
  if (no_randomness && path != NULL && strncmp(path, "/dev/", 5) == 0 &&
      strstr(path, "random") != NULL) {
    errno = ENOENT;  /* a sandbox without /dev */
    return -1;
  }
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
  if (fd >= 0 && fd < KEL_MAX_FD && relevant) {
    struct stat status;
    int known = real_fstat(fd, &status) == 0;
    inode_of[fd] = known ? (unsigned long long)status.st_ino : 0;
    is_directory[fd] = (unsigned char)(known && S_ISDIR(status.st_mode));
    if (recording && (flags & O_CREAT) != 0 && !is_directory[fd]) {
      struct KelRecord* record = add_record(kelRecordCreate);
      record->file = inode_of[fd];
      relative_name(path, record->name);
    }
    if ((flags & O_TRUNC) != 0 && (flags & O_ACCMODE) != O_RDONLY) {
      record_file(kelRecordTruncate, fd, 0);
    }
  }
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

/* A sandbox that filters the system call, whatever directory is watched. */
ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
  if (no_randomness) {
    errno = ENOSYS;
    return -1;
  }
  REAL(ssize_t (*)(void*, size_t, unsigned int), "getrandom");
  return real_fn(buffer, length, flags);
}

int close(int fd) {
  REAL(int (*)(int), "close");
  track(fd, 0);
  return real_fn(fd);
}

int dup(int fd) {
  REAL(int (*)(int), "dup");
  int copy = real_fn(fd);
  if (copy >= 0) track_copy(copy, fd);
  return copy;
}

int dup2(int fd, int to) {
  REAL(int (*)(int, int), "dup2");
  int copy = real_fn(fd, to);
  if (copy >= 0) track_copy(copy, fd);
  return copy;
}

int dup3(int fd, int to, int flags) {
  REAL(int (*)(int, int, int), "dup3");
  int copy = real_fn(fd, to, flags);
  if (copy >= 0) track_copy(copy, fd);
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
  ssize_t done = real_fn(fd, buffer, shorten(verdict, count));
  record_positioned(fd, buffer, done);
  return done;
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  REAL(ssize_t (*)(int, const void*, size_t, off_t), "pwrite");
  const int verdict = inject(kelFaultWrite, fd_watched(fd));
  if (verdict == 1) return -1;
  ssize_t done = real_fn(fd, buffer, shorten(verdict, count), offset);
  record_write(fd, offset, buffer, done);
  return done;
}

ssize_t pwrite64(int fd, const void* buffer, size_t count, off64_t offset) {
  REAL(ssize_t (*)(int, const void*, size_t, off64_t), "pwrite64");
  const int verdict = inject(kelFaultWrite, fd_watched(fd));
  if (verdict == 1) return -1;
  ssize_t done = real_fn(fd, buffer, shorten(verdict, count), offset);
  record_write(fd, offset, buffer, done);
  return done;
}

int fsync(int fd) {
  REAL(int (*)(int), "fsync");
  const int verdict = inject(kelFaultFsync, fd_watched(fd));
  if (verdict == 1) return -1;
  if (verdict == 3 || (syncs_off && fd_watched(fd))) return 0;
  int rc = real_fn(fd);
  if (rc == 0) record_file(kelRecordSync, fd, 0);
  return rc;
}

int fdatasync(int fd) {
  REAL(int (*)(int), "fdatasync");
  const int verdict = inject(kelFaultFdatasync, fd_watched(fd));
  if (verdict == 1) return -1;
  if (verdict == 3 || (syncs_off && fd_watched(fd))) return 0;
  int rc = real_fn(fd);
  if (rc == 0) record_file(kelRecordSync, fd, 0);
  return rc;
}

int rename(const char* from, const char* to) {
  REAL(int (*)(const char*, const char*), "rename");
  if (inject(kelFaultRename, path_watched(AT_FDCWD, from) ||
                                 path_watched(AT_FDCWD, to))) {
    return -1;
  }
  int rc = real_fn(from, to);
  if (rc == 0) record_names(kelRecordRename, AT_FDCWD, from, AT_FDCWD, to);
  return rc;
}

int renameat(int fromfd, const char* from, int tofd, const char* to) {
  REAL(int (*)(int, const char*, int, const char*), "renameat");
  if (inject(kelFaultRename, path_watched(fromfd, from) || path_watched(tofd, to))) {
    return -1;
  }
  int rc = real_fn(fromfd, from, tofd, to);
  if (rc == 0) record_names(kelRecordRename, fromfd, from, tofd, to);
  return rc;
}

int renameat2(int fromfd, const char* from, int tofd, const char* to,
              unsigned int flags) {
  REAL(int (*)(int, const char*, int, const char*, unsigned int), "renameat2");
  if (inject(kelFaultRename, path_watched(fromfd, from) || path_watched(tofd, to))) {
    return -1;
  }
  int rc = real_fn(fromfd, from, tofd, to, flags);
  if (rc == 0) record_names(kelRecordRename, fromfd, from, tofd, to);
  return rc;
}

int link(const char* from, const char* to) {
  REAL(int (*)(const char*, const char*), "link");
  if (inject(kelFaultLink, path_watched(AT_FDCWD, from) ||
                               path_watched(AT_FDCWD, to))) {
    return -1;
  }
  int rc = real_fn(from, to);
  if (rc == 0) record_names(kelRecordLink, AT_FDCWD, from, AT_FDCWD, to);
  return rc;
}

int linkat(int fromfd, const char* from, int tofd, const char* to, int flags) {
  REAL(int (*)(int, const char*, int, const char*, int), "linkat");
  if (inject(kelFaultLink, path_watched(fromfd, from) || path_watched(tofd, to))) {
    return -1;
  }
  int rc = real_fn(fromfd, from, tofd, to, flags);
  if (rc == 0) record_names(kelRecordLink, fromfd, from, tofd, to);
  return rc;
}

int ftruncate(int fd, off_t length) {
  REAL(int (*)(int, off_t), "ftruncate");
  if (inject(kelFaultFtruncate, fd_watched(fd))) return -1;
  int rc = real_fn(fd, length);
  if (rc == 0) record_file(kelRecordTruncate, fd, length);
  return rc;
}

int ftruncate64(int fd, off64_t length) {
  REAL(int (*)(int, off64_t), "ftruncate64");
  if (inject(kelFaultFtruncate, fd_watched(fd))) return -1;
  int rc = real_fn(fd, length);
  if (rc == 0) record_file(kelRecordTruncate, fd, length);
  return rc;
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
  int rc = real_fn(path);
  if (rc == 0) record_names(kelRecordUnlink, AT_FDCWD, path, AT_FDCWD, NULL);
  return rc;
}

int unlinkat(int dirfd, const char* path, int flags) {
  REAL(int (*)(int, const char*, int), "unlinkat");
  if (inject(kelFaultUnlink, path_watched(dirfd, path))) return -1;
  int rc = real_fn(dirfd, path, flags);
  if (rc == 0) record_names(kelRecordUnlink, dirfd, path, AT_FDCWD, NULL);
  return rc;
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
  off_t in_at = offset != NULL ? *offset : real_lseek(in, 0, SEEK_CUR);
  off_t out_at = real_lseek(out, 0, SEEK_CUR);
  ssize_t done = real_fn(out, in, offset, count);
  record_copy(out, out_at, in, in_at, done);
  return done;
}

ssize_t sendfile64(int out, int in, off64_t* offset, size_t count) {
  REAL(ssize_t (*)(int, int, off64_t*, size_t), "sendfile64");
  if (inject(kelFaultCopy, fd_watched(out) || fd_watched(in))) return -1;
  off_t in_at = offset != NULL ? *offset : real_lseek(in, 0, SEEK_CUR);
  off_t out_at = real_lseek(out, 0, SEEK_CUR);
  ssize_t done = real_fn(out, in, offset, count);
  record_copy(out, out_at, in, in_at, done);
  return done;
}

ssize_t copy_file_range(int in, off64_t* in_offset, int out, off64_t* out_offset,
                        size_t count, unsigned int flags) {
  REAL(ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned int),
       "copy_file_range");
  if (inject(kelFaultCopy, fd_watched(out) || fd_watched(in))) return -1;
  off_t in_at = in_offset != NULL ? *in_offset : real_lseek(in, 0, SEEK_CUR);
  off_t out_at = out_offset != NULL ? *out_offset : real_lseek(out, 0, SEEK_CUR);
  ssize_t done = real_fn(in, in_offset, out, out_offset, count, flags);
  record_copy(out, out_at, in, in_at, done);
  return done;
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
    track_copy(result, fd);
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
