#include "env/env.h"
#include "engine/file/file_copy.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "engine/file/io.h"

namespace kel::detail {

namespace {

// Reads and writes through a bounded buffer.
CopyResult copy_through_buffer(int from, off_t from_offset, off_t length, int to,
                               off_t to_offset) {
  constexpr off_t kPiece = 1 << 20;
  std::vector<unsigned char> buffer(static_cast<std::size_t>(std::min(length, kPiece)));
  for (off_t done = 0; done < length;) {
    std::size_t want = static_cast<std::size_t>(std::min(length - done, kPiece));
    ssize_t got = io::pread_full(from, buffer.data(), want, from_offset + done);
    if (got < 0) return CopyResult::read_failed;
    if (static_cast<std::size_t>(got) != want) return CopyResult::short_source;
    if (io::pwrite_full(to, buffer.data(), want, to_offset + done) != 0) {
      return CopyResult::write_failed;
    }
    done += static_cast<off_t>(want);
  }
  return CopyResult::done;
}

bool kernel_cannot_copy(int error_number) {
  return error_number == EXDEV || error_number == ENOSYS ||
         error_number == EINVAL || error_number == EOPNOTSUPP ||
         error_number == EBADF;
}

}  // namespace

CopyResult copy_range(int from, off_t from_offset, off_t length, int to,
                      off_t to_offset) {
  off_t done = 0;
  while (done < length) {
    loff_t in = from_offset + done;
    loff_t out = to_offset + done;
    ssize_t n = detail::env().copy_range(from, &in, to, &out,
                                      static_cast<std::size_t>(length - done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && !kernel_cannot_copy(errno)) {
      // The kernel does not say which side failed; the fallback finds out.
      break;
    }
    // Nothing moved: the source ended early, or this kind of file is one the
    // kernel copies as empty (some pseudo files). Reads settle which.
    if (n <= 0) break;
    done += static_cast<off_t>(n);
  }
  if (done == length) return CopyResult::done;
  return copy_through_buffer(from, from_offset + done, length - done, to,
                             to_offset + done);
}

}  // namespace kel::detail
