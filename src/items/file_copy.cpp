#include "items/file_copy.h"

#include <algorithm>
#include <vector>

#include "store/io.h"

namespace kel::detail {

CopyResult copy_range(int from, off_t from_offset, off_t length, int to,
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

}  // namespace kel::detail
