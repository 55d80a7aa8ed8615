#include "engine/file/io.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>

#include "env/env.h"

#include "store/status_note.h"

namespace kel::io {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) detail::env().close(fd_);
  fd_ = fd;
}

int open_file(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = detail::env().open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int open_store_file(const std::string& path, bool& read_only) {
  read_only = false;
  int fd = open_file(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd >= 0 || (errno != EACCES && errno != EPERM && errno != EROFS)) {
    return fd;
  }
  int saved = errno;
  fd = open_file(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    errno = saved;
    return -1;
  }
  read_only = true;
  return fd;
}

namespace {

// Calls `transfer(done)` until `length` bytes have moved, retrying when a
// signal interrupts it. Stops early at the end of a file when reading.
template <typename Transfer>
ssize_t transfer_all(std::size_t length, bool reading, Transfer transfer) {
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = transfer(done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) {
      if (reading) break;
      errno = EIO;  // a write that moves nothing would never finish
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

ssize_t pread_full(int fd, void* buffer, std::size_t length, off_t offset) {
  auto* at = static_cast<unsigned char*>(buffer);
  return transfer_all(length, true, [&](std::size_t done) {
    return detail::env().pread(fd, at + done, length - done, offset + static_cast<off_t>(done));
  });
}

ssize_t read_full(int fd, void* buffer, std::size_t length) {
  auto* at = static_cast<unsigned char*>(buffer);
  return transfer_all(length, true, [&](std::size_t done) {
    return detail::env().read(fd, at + done, length - done);
  });
}

int pwrite_full(int fd, const void* data, std::size_t length, off_t offset) {
  const auto* at = static_cast<const unsigned char*>(data);
  return transfer_all(length, false, [&](std::size_t done) {
           return detail::env().pwrite(fd, at + done, length - done,
                           offset + static_cast<off_t>(done));
         }) < 0 ? -1 : 0;
}

int write_all(int fd, const void* data, std::size_t length) {
  const auto* at = static_cast<const unsigned char*>(data);
  return transfer_all(length, false, [&](std::size_t done) {
           return detail::env().write(fd, at + done, length - done);
         }) < 0 ? -1 : 0;
}

int sync_data(int fd) {
  int rc;
  do rc = detail::env().fdatasync(fd);
  while (rc < 0 && errno == EINTR);
  return rc;
}

int sync_all(int fd) {
  int rc;
  do rc = detail::env().fsync(fd);
  while (rc < 0 && errno == EINTR);
  return rc;
}

int sync_parent_directory(const std::string& path) {
  UniqueFd dir(open_file(parent_directory(path).c_str(),
                         O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return -1;
  return sync_all(dir.get());
}

namespace {
thread_local int last_error = 0;
}  // namespace

std::string error_text(int error_number) {
  record_error(error_number);
  return ::strerror(error_number);
}

void record_error(int error_number) {
  if (error_number == 0) return;
  last_error = error_number;
  detail::set_status(detail::status_from_errno(error_number));
  detail::clear_write_step();
}

int recorded_error() { return last_error; }

void clear_recorded_error() noexcept { last_error = 0; }

std::string parent_directory(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace kel::io
