// Every lock the library takes, in one place, all of them fcntl record
// locks through the Env. The exported Store wrappers are the classic
// process-associated locks; the library's own writers, and applications
// through kel/file_lock.h, use open-file-description locks, which also
// exclude other Stores of the same process.
#include <errno.h>
#include <fcntl.h>

#include "env/env.h"
#include "kel/file_lock.h"
#include "kel/store.h"
#include "engine/file/io.h"

namespace kel {

int Store::lock_region(int fd, int cmd, int type, long start, int whence,
                       long len) {
  struct flock lock {};
  lock.l_type = static_cast<short>(type);
  lock.l_whence = static_cast<short>(whence);
  lock.l_start = start;
  lock.l_len = len;
  return detail::env().lock(fd, cmd, &lock);
}

int Store::read_lock(int fd, long start, int whence, long len) {
  return lock_region(fd, F_SETLK, F_RDLCK, start, whence, len);
}

int Store::read_wait_lock(int fd, long start, int whence, long len) {
  return lock_region(fd, F_SETLKW, F_RDLCK, start, whence, len);
}

int Store::write_lock(int fd, long start, int whence, long len) {
  return lock_region(fd, F_SETLK, F_WRLCK, start, whence, len);
}

int Store::write_wait_lock(int fd, long start, int whence, long len) {
  return lock_region(fd, F_SETLKW, F_WRLCK, start, whence, len);
}

int Store::unlock_file(int fd, long start, int whence, long len) {
  return lock_region(fd, F_SETLK, F_UNLCK, start, whence, len);
}

namespace {

struct flock whole_file(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  return lock;
}

short lock_type(FileLockMode mode) {
  return mode == FileLockMode::exclusive ? F_WRLCK : F_RDLCK;
}

}  // namespace

int io::lock_whole_file(int fd, short type) {
  struct flock lock = whole_file(type);
  int rc;
  do {
    rc = detail::env().lock(fd, F_OFD_SETLKW, &lock);
  } while (rc < 0 && errno == EINTR);
  return rc;
}

int io::unlock_whole_file(int fd) {
  struct flock lock = whole_file(F_UNLCK);
  return detail::env().lock(fd, F_OFD_SETLK, &lock);
}

int take_file_lock(int fd, FileLockMode mode, bool wait, std::string& error) {
  int rc;
  if (wait) {
    rc = io::lock_whole_file(fd, lock_type(mode));
  } else {
    struct flock lock = whole_file(lock_type(mode));
    rc = detail::env().lock(fd, F_OFD_SETLK, &lock);
  }
  if (rc != 0) error = "Could not lock file - " + io::error_text(errno);
  return rc == 0 ? 0 : -1;
}

int release_file_lock(int fd, std::string& error) {
  if (io::unlock_whole_file(fd) == 0) return 0;
  error = "Could not unlock file - " + io::error_text(errno);
  return -1;
}

int file_lock_conflicts(int fd, FileLockMode mode, bool& conflicts, std::string& error) {
  struct flock lock = whole_file(lock_type(mode));
  if (detail::env().lock(fd, F_OFD_GETLK, &lock) != 0) {
    error = "Could not test file lock - " + io::error_text(errno);
    return -1;
  }
  conflicts = lock.l_type != F_UNLCK;
  return 0;
}

}  // namespace kel
