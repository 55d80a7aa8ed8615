// Copying byte ranges between descriptors, for rewriting a store file
// without holding it in memory.
#pragma once

#include <sys/types.h>

namespace kel::detail {

enum class CopyResult { done, read_failed, short_source, write_failed };

// Copies `length` bytes from `from` at `from_offset` to `to` at `to_offset`.
// The copy stays in the kernel (copy_file_range, so a file system that can
// share extents does) and falls back to reads and writes in bounded pieces
// where the kernel cannot do it (EXDEV, ENOSYS, EINVAL, EOPNOTSUPP, or a call
// that moves nothing). `short_source` when `from` ends before `length`
// bytes. On failure errno tells why.
CopyResult copy_range(int from, off_t from_offset, off_t length, int to,
                      off_t to_offset);

}  // namespace kel::detail
