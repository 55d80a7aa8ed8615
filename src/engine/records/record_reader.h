// Buffered positioned reads over a store file, so that walking many small
// records costs a few large reads instead of two system calls per record.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <vector>

namespace kel::detail {

class RecordReader {
 public:
  explicit RecordReader(int fd, std::size_t buffer_size = 64 * 1024);
  // Copies up to `length` bytes at `offset` into `out`. Returns the count
  // (fewer only at the end of the file), or -1 with errno set.
  ssize_t read(off_t offset, void* out, std::size_t length);
  // The `length` bytes at `offset` in place, valid until the next call:
  // null when they are not all in the file, or when they do not fit the
  // buffer (with errno 0), or when the read failed (errno set).
  const unsigned char* view(off_t offset, std::size_t length);
  int fd() const { return fd_; }
  // Drops the bytes it holds: the next read goes to the file.
  void forget() { filled_ = 0; }

 private:
  int fd_;
  std::vector<unsigned char> buffer_;
  off_t start_ = 0;
  std::size_t filled_ = 0;
};

}  // namespace kel::detail
