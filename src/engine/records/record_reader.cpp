#include "engine/records/record_reader.h"

#include <errno.h>

#include <cstring>

#include "engine/file/io.h"

namespace kel::detail {

RecordReader::RecordReader(int fd, std::size_t buffer_size)
    : fd_(fd), buffer_(buffer_size) {}

ssize_t RecordReader::read(off_t offset, void* out, std::size_t length) {
  bool buffered = offset >= start_ &&
                  offset + static_cast<off_t>(length) <=
                      start_ + static_cast<off_t>(filled_);
  if (!buffered) {
    if (length > buffer_.size()) return io::pread_full(fd_, out, length, offset);
    ssize_t n = io::pread_full(fd_, buffer_.data(), buffer_.size(), offset);
    if (n < 0) return -1;
    start_ = offset;
    filled_ = static_cast<std::size_t>(n);
  }
  std::size_t from = static_cast<std::size_t>(offset - start_);
  std::size_t available = filled_ > from ? filled_ - from : 0;
  std::size_t count = length < available ? length : available;
  std::memcpy(out, buffer_.data() + from, count);
  return static_cast<ssize_t>(count);
}

const unsigned char* RecordReader::view(off_t offset, std::size_t length) {
  errno = 0;
  if (length > buffer_.size()) return nullptr;
  const bool buffered = offset >= start_ && offset + static_cast<off_t>(length) <=
                                                start_ + static_cast<off_t>(filled_);
  if (!buffered) {
    const ssize_t n = io::pread_full(fd_, buffer_.data(), buffer_.size(), offset);
    if (n < 0) return nullptr;
    start_ = offset;
    filled_ = static_cast<std::size_t>(n);
    if (filled_ < length) {
      errno = 0;
      return nullptr;
    }
  }
  return buffer_.data() + (offset - start_);
}

}  // namespace kel::detail
