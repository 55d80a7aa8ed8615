// Copying byte ranges between descriptors in bounded pieces, for rewriting a
// store file without holding it in memory.
#pragma once

#include <sys/types.h>

namespace kel::detail {

enum class CopyResult { done, read_failed, short_source, write_failed };

// Copies `length` bytes from `from` at `from_offset` to `to` at `to_offset`.
// On failure errno tells why.
CopyResult copy_range(int from, off_t from_offset, off_t length, int to,
                      off_t to_offset);

}  // namespace kel::detail
