/* The C library interposer of the fault-injection tests, for the one fault
 * no Env can inject: a process without a random source. Linked into the
 * test executable that needs it; it defines getrandom and the open calls,
 * finds the real ones with dlsym(RTLD_NEXT), and while switched on makes
 * getrandom fail with ENOSYS and /dev/urandom and /dev/random unopenable.
 * Every other call goes straight through. */
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
#include <sys/types.h>

static int no_randomness;

void kel_fault_no_randomness(int on) { no_randomness = on; }

static void* real(const char* name) {
  void* fn = dlsym(RTLD_NEXT, name);
  if (fn == NULL) {
    fprintf(stderr, "fault interposer: no real %s\n", name);
    abort();
  }
  return fn;
}

/* Function pointers from dlsym, converted the way POSIX sanctions. */
#define LOAD(target, name)                     \
  do {                                         \
    void* found_ = real(name);                 \
    memcpy(&(target), &found_, sizeof found_); \
  } while (0)

static int hides(const char* path) {
  return no_randomness && path != NULL && strncmp(path, "/dev/", 5) == 0 &&
         strstr(path, "random") != NULL;
}

static int needs_mode(int flags) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

#define MODE_ARG(flags, mode)          \
  mode_t mode = 0;                     \
  if (needs_mode(flags)) {             \
    va_list ap;                        \
    va_start(ap, flags);               \
    mode = (mode_t)va_arg(ap, int);    \
    va_end(ap);                        \
  }

#define OPEN_CALL(fn_name, ...)                                 \
  typedef int (*fn_t)(const char*, int, ...);                   \
  static fn_t real_fn = NULL;                                   \
  if (real_fn == NULL) LOAD(real_fn, fn_name);                  \
  if (hides(path)) {                                            \
    errno = ENOENT; /* a sandbox without /dev */                \
    return -1;                                                  \
  }                                                             \
  return real_fn(__VA_ARGS__)

int open(const char* path, int flags, ...) {
  MODE_ARG(flags, mode);
  OPEN_CALL("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  MODE_ARG(flags, mode);
  OPEN_CALL("open64", path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
  MODE_ARG(flags, mode);
  typedef int (*fn_t)(int, const char*, int, ...);
  static fn_t real_fn = NULL;
  if (real_fn == NULL) LOAD(real_fn, "openat");
  if (hides(path)) {
    errno = ENOENT;
    return -1;
  }
  return real_fn(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  MODE_ARG(flags, mode);
  typedef int (*fn_t)(int, const char*, int, ...);
  static fn_t real_fn = NULL;
  if (real_fn == NULL) LOAD(real_fn, "openat64");
  if (hides(path)) {
    errno = ENOENT;
    return -1;
  }
  return real_fn(dirfd, path, flags, mode);
}

/* A sandbox that filters the system call. */
ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
  static ssize_t (*real_fn)(void*, size_t, unsigned int) = NULL;
  if (real_fn == NULL) LOAD(real_fn, "getrandom");
  if (no_randomness) {
    errno = ENOSYS;
    return -1;
  }
  return real_fn(buffer, length, flags);
}
