#include "store/backup_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "items/file_copy.h"
#include "store/io.h"

namespace kel::detail {

std::string resolve_store_path(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return path;
  std::unique_ptr<char, decltype(&::free)> real(::realpath(path.c_str(), nullptr),
                                                &::free);
  return real ? std::string(real.get()) : path;
}

namespace {

// The new file, removed again unless it was renamed into place.
class NewFile {
 public:
  explicit NewFile(const std::string& path) : path_(path) {}
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile() {
    fd.reset();
    if (made_ && !placed_) ::unlink(path_.c_str());
  }
  bool create() {
    fd.reset(io::open_file(path_.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           S_IRUSR | S_IWUSR));
    made_ = fd.valid();
    return made_;
  }
  void placed() { placed_ = true; }
  io::UniqueFd fd;

 private:
  std::string path_;
  bool made_ = false;
  bool placed_ = false;
};

// The store's group and permission bits, never wider: when the group cannot
// be kept, the group gets nothing rather than a group of the caller's.
int match_store_access(int store_fd, int fd) {
  struct stat store {};
  if (::fstat(store_fd, &store) != 0) return -1;
  mode_t mode = store.st_mode & 0777;
  if (::fchown(fd, static_cast<uid_t>(-1), store.st_gid) != 0) {
    if (errno != EPERM) return -1;
    struct stat made {};
    if (::fstat(fd, &made) != 0) return -1;
    if (made.st_gid != store.st_gid) mode &= ~static_cast<mode_t>(0070);
  }
  return ::fchmod(fd, mode);
}

}  // namespace

int write_backup_copy(int store_fd, off_t size, const std::string& backup_path,
                      const std::string& temporary_path, const std::string& prefix,
                      std::string& error) {
  NewFile copy(temporary_path);
  bool done = copy.create() && match_store_access(store_fd, copy.fd.get()) == 0;
  if (done) {
    const CopyResult copied = copy_range(store_fd, 0, size, copy.fd.get(), 0);
    if (copied == CopyResult::short_source) errno = EIO;  // shrank under the lock
    done = copied == CopyResult::done && io::sync_all(copy.fd.get()) == 0 &&
           ::rename(temporary_path.c_str(), backup_path.c_str()) == 0;
  }
  if (!done) {
    error = prefix + io::error_text(errno);
    return -1;
  }
  copy.placed();
  if (io::sync_parent_directory(backup_path) != 0) {
    error = prefix + io::error_text(errno);
    return -1;
  }
  return 0;
}

}  // namespace kel::detail
