// The item record codec: the one place that knows where a record's fields
// lie, how long a record is, and how its fixed part is encoded and decoded.
// Scan, append, rewrite, check, repair, upgrade and the benchmarks take
// every record offset from here; nothing else adds field sizes by hand.
//
// Both store formats have the same records (format 2 differs only in what
// each seal binds as associated data: engine/keyring/binding.h). With R the
// record's start, N its name length (1..255) and V its value length
// (1..2^32-1), little-endian:
//          name_length[1] name_cipher[N] name_nonce[12] name_tag[16]
//          value_offset[8, signed, = R + N + 41] value_length[4, unsigned]
//          value_cipher[V] value_nonce[12] value_tag[16]
// The first N + 41 bytes are the fixed part, the last V + 28 the value part;
// a record is N + V + 69 bytes. Everything here is inline: the scan calls
// it once per record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/records/format.h"

namespace kel::codec {

// The plain fields' sizes.
inline constexpr long kValueOffsetSize = 8;
inline constexpr long kValueLengthSize = 4;

// Offsets inside a record, relative to its first byte, for a name of n bytes.
constexpr long name_cipher_at() { return 1; }
constexpr long name_nonce_at(long n) { return 1 + n; }
constexpr long name_tag_at(long n) { return name_nonce_at(n) + format::kNonceSize; }
constexpr long value_offset_at(long n) { return name_tag_at(n) + format::kTagSize; }
constexpr long value_length_at(long n) { return value_offset_at(n) + kValueOffsetSize; }
// Size of the fixed part (everything before the value cipher): n + 41.
constexpr long fixed_part_size(long n) { return value_length_at(n) + kValueLengthSize; }
// The largest fixed part, for buffers that hold any one.
inline constexpr long kMaxFixedPartSize = fixed_part_size(format::kMaxNameLength);
// The value part's nonce and tag, after its v cipher bytes: 28 bytes, nonce
// first. Offsets below are relative to the value part's first byte.
inline constexpr std::size_t kValueTrailerSize = format::kNonceSize + format::kTagSize;
constexpr long long value_nonce_at(long long v) { return v; }
constexpr long long value_tag_at(long long v) { return v + format::kNonceSize; }
// Size of the value part (cipher, nonce, tag): v + 28.
constexpr long long value_part_size(long long v) {
  return v + static_cast<long long>(kValueTrailerSize);
}
// Size of a whole record: n + v + 69.
constexpr long long record_size(long n, long long v) {
  return fixed_part_size(n) + value_part_size(v);
}
// The value_offset a record at `start` with an n-byte name must hold.
constexpr long long value_at(long long start, long n) { return start + fixed_part_size(n); }
// The start of the record whose value lies at `value_offset`.
constexpr long long start_of(long long value_offset, long n) {
  return value_offset - fixed_part_size(n);
}
// A value_offset field lies at R + N + 29 and holds R + N + 41: the value
// follows its field by this many bytes, whatever the name's length.
inline constexpr long kFieldToValue = fixed_part_size(0) - value_offset_at(0);
static_assert(fixed_part_size(1) == 42 && record_size(1, 1) == 71 &&
              record_size(255, 10) == 334 && kFieldToValue == 12);

// Encoding. `fixed` holds at least fixed_part_size(n) bytes. The sealed
// name, its nonce and tag go to name_cipher_at(), name_nonce_at(n) and
// name_tag_at(n); these write the plain fields.
inline void put_name_length(unsigned char* fixed, long n) {
  fixed[0] = static_cast<unsigned char>(n);
}
inline void put_value_length(unsigned char* fixed, long n, std::uint32_t v) {
  format::put_u32(fixed + value_length_at(n), v);
}
// Sets value_offset for a record that starts at `start`.
inline void put_start(unsigned char* fixed, long n, long long start) {
  format::put_i64(fixed + value_offset_at(n), value_at(start, n));
}
// All three plain fields of the fixed part of a record at `start`.
inline void encode_fixed(unsigned char* fixed, long n, long long start, std::uint32_t v) {
  put_name_length(fixed, n);
  put_start(fixed, n, start);
  put_value_length(fixed, n, v);
}

// Decoding. A fixed part as read: pointers into its bytes and its plain
// fields. decode_fixed reads fixed_part_size(fixed[0]) bytes; a name length
// of 0 (a clean end or a cut-off tail) decodes to name_length 0 and nothing
// else, so check that first.
struct FixedPart {
  long name_length = 0;
  const unsigned char* name_cipher = nullptr;
  const unsigned char* name_nonce = nullptr;
  const unsigned char* name_tag = nullptr;
  std::int64_t value_offset = 0;
  std::uint32_t value_length = 0;

  long size() const { return fixed_part_size(name_length); }
  // Where the value part ends, by this record's own claim.
  long long value_end() const { return value_offset + value_part_size(value_length); }
};

inline FixedPart decode_fixed(const unsigned char* fixed) {
  FixedPart part;
  part.name_length = fixed[0];
  if (part.name_length == 0) return part;
  const long n = part.name_length;
  part.name_cipher = fixed + name_cipher_at();
  part.name_nonce = fixed + name_nonce_at(n);
  part.name_tag = fixed + name_tag_at(n);
  part.value_offset = format::get_i64(fixed + value_offset_at(n));
  part.value_length = format::get_u32(fixed + value_length_at(n));
  return part;
}

inline std::uint32_t get_value_length(const unsigned char* fixed, long n) {
  return format::get_u32(fixed + value_length_at(n));
}
inline std::int64_t get_value_offset(const unsigned char* fixed, long n) {
  return format::get_i64(fixed + value_offset_at(n));
}

// Validation: whether `part`, read at `start`, is where its own fields say
// it is (value_offset = start + N + 41). The name's seal is the caller's.
inline bool placed_at(const FixedPart& part, long long start) {
  return part.name_length != 0 && part.value_offset == value_at(start, part.name_length);
}

}  // namespace kel::codec
