// The files a rewrite makes beside the store: the new file under a temporary
// name, the backup of the old one, and the clean-up of temporaries that a
// killed rewrite left behind.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "store/file_copy.h"
#include "store/file_names.h"
#include "store/rewrite.h"
#include "store/rewrite_steps.h"

namespace kel::detail {

TemporaryFile::~TemporaryFile() {
  fd_.reset();
  if (!kept_ && !path_.empty()) ::unlink(path_.c_str());
}

int TemporaryFile::create(const std::string& beside, const std::string& extension) {
  path_ = temporary_path(beside, extension);
  fd_.reset(io::open_file(path_.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd_.valid()) {
    int saved = errno;
    path_.clear();  // not ours: nothing to delete
    errno = saved;
    return -1;
  }
  return 0;
}

int rename_over(TemporaryFile& file, const std::string& destination) {
  if (io::sync_all(file.fd()) != 0) return -1;
  if (::rename(file.path().c_str(), destination.c_str()) != 0) return -1;
  file.keep();
  return io::sync_parent_directory(destination);
}

int replace_with_copy(int from, off_t size, mode_t mode,
                      const std::string& destination,
                      const std::string& extension) {
  TemporaryFile copy;
  if (copy.create(destination, extension) != 0) return -1;
  if (::fchmod(copy.fd(), mode & 07777) != 0) return -1;
  switch (copy_range(from, 0, size, copy.fd(), 0)) {
    case CopyResult::done:
      break;
    case CopyResult::short_source:
      errno = EIO;
      return -1;
    default:
      return -1;
  }
  return rename_over(copy, destination);
}

int keep_backup(const StoreWriteLock& lock, int old_fd, const std::string& backup,
                const std::string& extension) {
  struct stat old_file {};
  if (::fstat(old_fd, &old_file) != 0) return -1;
  // A second name for the old file, made under a temporary name and renamed
  // over any older backup in one step. The temporary name is deleted in any
  // case: when the old backup already was a name of this same file, the
  // rename leaves both names in place.
  const std::string link_name = temporary_path(lock.target(), extension);
  if (::link(lock.target().c_str(), link_name.c_str()) == 0) {
    struct stat linked {};
    bool same = ::lstat(link_name.c_str(), &linked) == 0 &&
                linked.st_dev == old_file.st_dev && linked.st_ino == old_file.st_ino;
    if (same) {
      int rc = ::rename(link_name.c_str(), backup.c_str());
      int saved = errno;
      ::unlink(link_name.c_str());
      errno = saved;
      return rc;  // the directory is synced with the rename that follows
    }
    // Not the locked file: the target was swapped under us. Copy instead.
    ::unlink(link_name.c_str());
  }
  // Where hard links are impossible (some file systems), a synced copy.
  return replace_with_copy(old_fd, old_file.st_size, old_file.st_mode, backup,
                           extension);
}

void remove_stale_temporaries(const StoreWriteLock& lock, const std::string& extension) {
  namespace fs = std::filesystem;
  const std::string directory = io::parent_directory(lock.target());
  const std::string own_name = fs::path(lock.target()).filename().string();
  std::error_code failure;
  for (fs::directory_iterator it(directory, failure), end; !failure && it != end;
       it.increment(failure)) {
    std::string name = it->path().filename().string();
    if (is_temporary_path(own_name, extension, name)) {
      ::unlink((directory + "/" + name).c_str());
    }
  }
}

}  // namespace kel::detail
