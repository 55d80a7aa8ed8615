// Thin, restartable wrappers over the POSIX file calls the store uses, and an
// owner for descriptors. Every call retries when a signal interrupts it, and
// the full-transfer calls loop over short reads and writes.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace kel::io {

// Owns one descriptor and closes it when it goes out of scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// open(2), retried on EINTR.
int open_file(const char* path, int flags, mode_t mode = 0);
// Opens a store file read-write, or read-only where the file or its file
// system does not allow writing (EACCES, EPERM, EROFS). `read_only` tells
// which. Returns the descriptor, or -1 with errno set.
int open_store_file(const std::string& path, bool& read_only);

// Reads up to `length` bytes at `offset`; fewer only at the end of the file.
// Returns the count, or -1 with errno set.
ssize_t pread_full(int fd, void* buffer, std::size_t length, off_t offset);
// Reads up to `length` bytes from the current position (same contract).
ssize_t read_full(int fd, void* buffer, std::size_t length);
// Writes all `length` bytes at `offset`. Returns 0, or -1 with errno set.
int pwrite_full(int fd, const void* data, std::size_t length, off_t offset);
// Writes all `length` bytes at the descriptor's position (a pipe is fine).
int write_all(int fd, const void* data, std::size_t length);
// fdatasync / fsync, retried on EINTR.
int sync_data(int fd);
int sync_all(int fd);
// Syncs the directory that holds `path`, so a rename or link there lasts.
int sync_parent_directory(const std::string& path);

// Open-file-description locks over the whole file. Unlike process-associated
// record locks they exclude other descriptions in this process too, and
// closing some other descriptor of the file does not drop them. They live
// in store/locks.cpp, with every other lock the library takes.
int lock_whole_file(int fd, short type);  // waits; F_RDLCK or F_WRLCK
int unlock_whole_file(int fd);

// strerror text for an error number, which is also recorded as the cause
// of the failure being reported (see kel::last_system_error).
std::string error_text(int error_number);
// Records the cause of a failure whose error text carries no system text.
void record_error(int error_number);
// The last number recorded on this thread, 0 when none was.
int recorded_error();
// Forgets the recorded error: a new call begins, and the cause of an
// earlier call's failure must not be taken for the cause of its own.
void clear_recorded_error() noexcept;

// The directory part of a path ("." when it has none).
std::string parent_directory(const std::string& path);

}  // namespace kel::io
