// The Env over the C library: each call is the system call of its name, with
// nothing added, so that flags, order and locks stay exactly what the caller
// asked for.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "env/env.h"

namespace kel::detail {

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

class PosixEnv final : public Env {
 public:
  int open(const char* path, int flags, mode_t mode) override {
    return ::open(path, flags, mode);
  }
  int close(int fd) override { return ::close(fd); }
  int duplicate(int fd) override { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }

  ssize_t read(int fd, void* buffer, std::size_t length) override {
    return ::read(fd, buffer, length);
  }
  ssize_t pread(int fd, void* buffer, std::size_t length, off_t offset) override {
    return ::pread(fd, buffer, length, offset);
  }
  ssize_t write(int fd, const void* data, std::size_t length) override {
    return ::write(fd, data, length);
  }
  ssize_t pwrite(int fd, const void* data, std::size_t length, off_t offset) override {
    return ::pwrite(fd, data, length, offset);
  }
  ssize_t copy_range(int from, off_t* from_offset, int to, off_t* to_offset,
                     std::size_t length) override {
    return ::copy_file_range(from, from_offset, to, to_offset, length, 0);
  }
  off_t lseek(int fd, off_t offset, int whence) override {
    return ::lseek(fd, offset, whence);
  }

  int fsync(int fd) override { return ::fsync(fd); }
  int fdatasync(int fd) override { return ::fdatasync(fd); }
  int ftruncate(int fd, off_t length) override { return ::ftruncate(fd, length); }

  int fstat(int fd, struct stat* out) override { return ::fstat(fd, out); }
  int stat(const char* path, struct stat* out) override { return ::stat(path, out); }
  int lstat(const char* path, struct stat* out) override { return ::lstat(path, out); }
  int fchmod(int fd, mode_t mode) override { return ::fchmod(fd, mode); }
  int fchown(int fd, uid_t owner, gid_t group) override {
    return ::fchown(fd, owner, group);
  }
  ssize_t readlink(const char* path, char* buffer, std::size_t size) override {
    return ::readlink(path, buffer, size);
  }

  int rename(const char* from, const char* to) override { return ::rename(from, to); }
  int rename_no_replace(const char* from, const char* to) override {
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
  }
  int link(const char* existing, const char* name) override {
    return ::link(existing, name);
  }
  int unlink(const char* path) override { return ::unlink(path); }
  int list_directory(const std::string& directory,
                     std::vector<std::string>& names) override {
    std::unique_ptr<DIR, DirCloser> dir(::opendir(directory.c_str()));
    if (!dir) return -1;
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
      errno = 0;
    }
    return errno == 0 ? 0 : -1;
  }

  int lock(int fd, int cmd, struct flock* lock) override { return ::fcntl(fd, cmd, lock); }
};

std::atomic<Env*>& current() {
  static std::atomic<Env*> chosen{&posix_env()};
  return chosen;
}

}  // namespace

Env& posix_env() {
  static PosixEnv instance;
  return instance;
}

Env& env() { return *current().load(std::memory_order_acquire); }

ScopedEnv::ScopedEnv(Env& replacement)
    : previous_(current().exchange(&replacement, std::memory_order_acq_rel)) {}

ScopedEnv::~ScopedEnv() { current().store(previous_, std::memory_order_release); }

}  // namespace kel::detail
