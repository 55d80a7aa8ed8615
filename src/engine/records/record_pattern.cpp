#include "engine/records/record_pattern.h"

#include <cstdint>

#include "engine/records/format.h"
#include "engine/records/record_codec.h"
#include "engine/file/io.h"

namespace kel::detail {

namespace {

// How many of the 8 bytes of any value_offset in a file of `size` bytes are
// zero at the top (the field holds at most size + 12); at least 1.
std::size_t zero_top_bytes(off_t size) {
  auto most = static_cast<std::uint64_t>(size) + codec::kFieldToValue;
  std::size_t used = 0;
  while (most != 0) {
    ++used;
    most >>= 8;
  }
  return used >= 8 ? 1 : 8 - used;
}

}  // namespace

long find_value_offset_field(const unsigned char* bytes, std::size_t length, off_t at,
                             std::size_t from, off_t file_size) {
  if (length < 8 || from > length - 8) return -1;
  const std::size_t zeros = zero_top_bytes(file_size);
  const std::size_t last = length - 8;
  // A field at p has zero bytes p + 8 - zeros .. p + 7. Stepping by
  // `zeros`, a zero byte q is met in every such run; the fields it may
  // belong to start at q - 7 .. q + zeros - 8.
  std::size_t next_field = from;  // fields below this were tried
  for (std::size_t q = from + 8 - zeros; q < length; q += zeros) {
    if (bytes[q] != 0) continue;
    std::size_t first = q >= 7 ? q - 7 : 0;
    if (first < next_field) first = next_field;
    const std::size_t end = q + zeros - 8;  // q >= 8 - zeros here
    for (std::size_t p = first; p <= end && p <= last; ++p) {
      if (format::get_i64(bytes + p) == at + static_cast<off_t>(p) + codec::kFieldToValue) {
        return static_cast<long>(p);
      }
    }
    next_field = end + 1;
  }
  return -1;
}

int flipped_length_starts(int fd, std::int64_t value_offset, std::uint32_t value_length,
                          off_t file_size, std::vector<std::pair<off_t, unsigned>>& starts) {
  starts.clear();
  unsigned char fixed[codec::kMaxFixedPartSize];
  for (int bit = 0; bit < 32; ++bit) {
    const std::uint32_t mask = std::uint32_t{1} << bit;
    // The bytes a cleared bit takes off must hold at least one whole record.
    if ((value_length & mask) == 0 || value_length == mask ||
        mask < static_cast<std::uint64_t>(codec::record_size(1, 1))) {
      continue;
    }
    const off_t start =
        static_cast<off_t>(value_offset + codec::value_part_size(value_length & ~mask));
    const ssize_t got = io::pread_full(fd, fixed, sizeof fixed, start);
    if (got < 0) return -1;
    if (got < 1 || fixed[0] == 0) continue;
    const unsigned n = fixed[0];
    const long field = codec::value_offset_at(static_cast<long>(n));
    if (got < field + 8 || start + codec::fixed_part_size(static_cast<long>(n)) > file_size ||
        codec::get_value_offset(fixed, static_cast<long>(n)) !=
            codec::value_at(start, static_cast<long>(n))) {
      continue;
    }
    starts.emplace_back(start, n);
  }
  return 0;
}

}  // namespace kel::detail
