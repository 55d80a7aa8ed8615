// The engine's one seam to the file system. Every call the library makes on
// a file (the store file, its backups and temporaries, files imported as
// values, the directory that holds them) goes through an Env, so that a test
// can put a faulty one in front of the real one in-process, and so that the
// rules for names, links and locks have one home.
//
// Results follow the C library's convention, and each call promises what
// the system call of its name promises: -1 (or a null result) on failure
// with errno set to the system's error value, which the caller turns into a
// status or a message. An Env never prints, never retries unless it says so
// and keeps no state of its own about the descriptors it hands out.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace kel::detail {

class Env {
 public:
  virtual ~Env() = default;

  // Descriptors.
  virtual int open(const char* path, int flags, mode_t mode) = 0;
  virtual int close(int fd) = 0;
  // fcntl(fd, F_DUPFD_CLOEXEC, 0): a second descriptor of the same open file
  // description (it shares that description's locks).
  virtual int duplicate(int fd) = 0;

  // Transfers: one system call each; short counts are the caller's to loop
  // over.
  virtual ssize_t read(int fd, void* buffer, std::size_t length) = 0;
  virtual ssize_t pread(int fd, void* buffer, std::size_t length, off_t offset) = 0;
  virtual ssize_t write(int fd, const void* data, std::size_t length) = 0;
  virtual ssize_t pwrite(int fd, const void* data, std::size_t length,
                         off_t offset) = 0;
  // copy_file_range(2) between two descriptors, flags 0.
  virtual ssize_t copy_range(int from, off_t* from_offset, int to, off_t* to_offset,
                             std::size_t length) = 0;
  virtual off_t lseek(int fd, off_t offset, int whence) = 0;

  // Durability and size.
  virtual int fsync(int fd) = 0;
  virtual int fdatasync(int fd) = 0;
  virtual int ftruncate(int fd, off_t length) = 0;

  // Metadata.
  virtual int fstat(int fd, struct stat* out) = 0;
  virtual int stat(const char* path, struct stat* out) = 0;
  virtual int lstat(const char* path, struct stat* out) = 0;
  virtual int fchmod(int fd, mode_t mode) = 0;
  virtual int fchown(int fd, uid_t owner, gid_t group) = 0;
  virtual ssize_t readlink(const char* path, char* buffer, std::size_t size) = 0;

  // Names.
  virtual int rename(const char* from, const char* to) = 0;
  // renameat2(RENAME_NOREPLACE): fails with EEXIST when `to` exists, and
  // with EINVAL where the file system has no such rename.
  virtual int rename_no_replace(const char* from, const char* to) = 0;
  virtual int link(const char* existing, const char* name) = 0;
  virtual int unlink(const char* path) = 0;
  // The names in `directory` ("." and ".." left out), in the order the file
  // system gives them.
  virtual int list_directory(const std::string& directory,
                             std::vector<std::string>& names) = 0;

  // Record locks: fcntl(fd, cmd, lock) for cmd F_SETLK, F_SETLKW (process
  // locks), F_OFD_SETLK, F_OFD_SETLKW (open-file-description locks) or
  // F_OFD_GETLK (a test). Not retried when a signal interrupts a wait.
  virtual int lock(int fd, int cmd, struct flock* lock) = 0;
};

// The Env the library uses: the POSIX one unless a test put another in
// place.
Env& env();
// The POSIX Env itself, for wrappers that pass calls on to it.
Env& posix_env();

// Puts `replacement` in place of the current Env for this object's life and
// then puts back what was there. For tests; not for use while another thread
// of the process is inside the library.
class ScopedEnv {
 public:
  explicit ScopedEnv(Env& replacement);
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv();

 private:
  Env* previous_;
};

}  // namespace kel::detail
