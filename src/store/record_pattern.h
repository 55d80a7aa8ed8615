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

namespace kel::detail {

// The first position p >= from (relative to `bytes`, which lie at file
// offset `at`) at which the 8 bytes hold at + p + 12, with the whole 8 bytes
// inside `length`; -1 when there is none. Reads about length / z bytes,
// where z is how many top bytes the offsets of a file of `file_size` bytes
// leave zero (5 below 16 MiB): only where such a run of zeros lies can a
// field lie.
long find_value_offset_field(const unsigned char* bytes, std::size_t length, off_t at,
                             std::size_t from, off_t file_size);

}  // namespace kel::detail
