// Exported record-lock wrappers. They are the classic process-associated
// locks; the library's own writers use open-file-description locks instead
// (see store/io.h), which also exclude other Stores of the same process.
#include <fcntl.h>

#include "kel/store.h"
#include "env/env.h"

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

}  // namespace kel
