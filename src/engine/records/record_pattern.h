// Where a record could begin inside bytes that are claimed as a value. Every
// record's value_offset field (8 bytes, at R + N + 29) holds its own
// position plus 12, so a record hidden inside a value that claims too many
// bytes (a damaged value_length that happens to end on a record boundary,
// or at the end of the file) shows as such a field. In ciphertext the
// pattern comes up once in 2^64 positions, and only the store key makes a
// name behind it authenticate.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace kel::detail {

// The first position p >= from (relative to `bytes`, which lie at file
// offset `at`) at which the 8 bytes hold at + p + 12, with the whole 8 bytes
// inside `length`; -1 when there is none. Reads about length / z bytes,
// where z is how many top bytes the offsets of a file of `file_size` bytes
// leave zero (5 below 16 MiB): only where such a run of zeros lies can a
// field lie.
long find_value_offset_field(const unsigned char* bytes, std::size_t length, off_t at,
                             std::size_t from, off_t file_size);

// For a value part too large to search whole (reading every large value
// would make each open cost the size of the store): the places where the
// value at `value_offset` would end if one bit of its `value_length` were
// cleared, as a flipped bit makes a value hide the records after it. Fills
// `starts` with each such record start R, in increasing order, whose
// length byte n (second) is not zero and whose value_offset field holds
// R + n + 41 inside `file_size` bytes. 0, or -1 when a read of `fd` failed
// (errno set). At most 25 small reads: a bit worth less than the smallest
// record cannot hide one.
int flipped_length_starts(int fd, std::int64_t value_offset, std::uint32_t value_length,
                          off_t file_size, std::vector<std::pair<off_t, unsigned>>& starts);

}  // namespace kel::detail
