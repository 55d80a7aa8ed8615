#include <errno.h>
#include <unistd.h>

#include "kel/store.h"
#include "env/env.h"
#include "engine/file/io.h"
#include "store/status_note.h"

namespace kel {

int Store::store_write(int fd, long offset, const void* data, long size,
                       std::string& error) {
  try {
    if (detail::env().lseek(fd, offset, SEEK_SET) == -1) {
      error = "Could not set file offset - " + io::error_text(errno);
      return -1;
    }
    const auto* at = static_cast<const unsigned char*>(data);
    long written = 0;
    while (size - written > 0) {
      ssize_t n = detail::env().write(fd, at + written, static_cast<size_t>(size - written));
      if (n < 0 && errno == EINTR) continue;  // a signal is not a failure
      if (n < 0) {
        error = "Error, could not write to store - " + io::error_text(errno);
        return -1;
      }
      if (n == 0) {
        error = "Error, could not write to store - " + io::error_text(EIO);
        return -1;
      }
      written += n;
    }
    return 0;
  } catch (...) {
    detail::fail(error, Status::internal,
                 "Unknown exception, could not write to store");
    return -1;
  }
}

}  // namespace kel
