// The store file format, in one place. A store file is a 132-byte header
// followed by item records packed back to back up to the end of the file; no
// count or trailer. All integers are little-endian. Two versions exist; both
// have 132-byte headers and the same records, so everything past the header
// (scan, damage rules, rewrites) reads both alike.
//
// Version 1 header (no magic number, no version field):
//          password_hash[64] password_salt[8] store_key_cipher[32]
//          store_key_nonce[12] store_key_tag[16]
// Version 2 header:
//          magic[8] version[4, = 2] kdf_memory_kib[4] kdf_passes[4]
//          kdf_lanes[4] kdf_salt[16] store_id[16] reserved[16, zero]
//          store_key_nonce[12] store_key_cipher[32] store_key_tag[16]
//   The store key is sealed under Argon2id(password, kdf_salt, memory,
//   passes, lanes) with the 84 header bytes before store_key_cipher as
//   associated data: no parameter can be changed without failing the
//   unwrapping, which is the password check (there is no password hash).
//   Each name is sealed with store_id as associated data, each value with
//   its record's plain name.
// Records: engine/records/record_codec.h, the one place that knows their
// layout.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel::format {

inline constexpr std::size_t kHashSize = 64;
inline constexpr std::size_t kSaltSize = 8;
inline constexpr std::size_t kKeySize = 32;
inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kTagSize = 16;
inline constexpr std::size_t kMaskIvSize = 16;
inline constexpr int kPbkdf2Iterations = 1000;

// Header field offsets.
inline constexpr long kHashOffset = 0;
inline constexpr long kSaltOffset = kHashOffset + kHashSize;             // 64
inline constexpr long kKeyCipherOffset = kSaltOffset + kSaltSize;        // 72
inline constexpr long kKeyNonceOffset = kKeyCipherOffset + kKeySize;     // 104
inline constexpr long kKeyTagOffset = kKeyNonceOffset + kNonceSize;      // 116
inline constexpr long kHeaderSize = kKeyTagOffset + kTagSize;            // 132

// Version 2 header field offsets.
inline constexpr unsigned char kMagic[8] = {0x89, 'K', 'E', 'L', 'S', 'A', 'F', 'E'};
inline constexpr std::uint32_t kVersion2 = 2;
inline constexpr std::size_t kKdfSaltSize = 16;
inline constexpr std::size_t kStoreIdSize = 16;
inline constexpr long kV2VersionOffset = 8;
inline constexpr long kV2MemoryOffset = 12;
inline constexpr long kV2PassesOffset = 16;
inline constexpr long kV2LanesOffset = 20;
inline constexpr long kV2SaltOffset = 24;
inline constexpr long kV2StoreIdOffset = kV2SaltOffset + kKdfSaltSize;        // 40
inline constexpr long kV2ReservedOffset = kV2StoreIdOffset + kStoreIdSize;    // 56
inline constexpr long kV2KeyNonceOffset = kV2ReservedOffset + 16;             // 72
inline constexpr long kV2KeyCipherOffset = kV2KeyNonceOffset + kNonceSize;    // 84
inline constexpr long kV2KeyTagOffset = kV2KeyCipherOffset + kKeySize;        // 116
static_assert(kV2KeyTagOffset + kTagSize == kHeaderSize);
// The associated data of the store key's seal: every byte before the cipher.
inline constexpr std::size_t kV2AssociatedSize = kV2KeyCipherOffset;

// Argon2id parameters a new store may have. Below the minimum a guess costs
// too little to matter; the maximum bounds what a header (perhaps damaged)
// can make an open allocate or compute.
inline constexpr std::uint32_t kMinKdfMemoryKib = 19 * 1024;
inline constexpr std::uint32_t kMaxKdfMemoryKib = 4u * 1024 * 1024;
inline constexpr std::uint32_t kMinKdfPasses = 1;
inline constexpr std::uint32_t kMaxKdfPasses = 1024;
inline constexpr std::uint32_t kMinKdfLanes = 1;
inline constexpr std::uint32_t kMaxKdfLanes = 64;
// Memory times passes, in KiB: the work of one derivation. Each bound above
// allows a derivation of hours when the others are at their maximum, so a
// header (perhaps hostile: anyone who can write the file sets it) must keep
// this product down too. 32 GiB of passes (4 GiB and 8 passes, or 512 MiB
// and 64) is more than a minute of one core; creation never makes more,
// whatever time calibration aims at, so a header that asks for more is not
// one this library wrote.
inline constexpr std::uint64_t kMaxKdfWorkKib = 32ull * 1024 * 1024;

inline constexpr std::size_t kMaxNameLength = 255;
inline constexpr std::uint64_t kMaxValueLength = 0xFFFFFFFFull;

inline void put_i64(unsigned char* at, std::int64_t value) {
  auto bits = static_cast<std::uint64_t>(value);
  for (int i = 0; i < 8; ++i) at[i] = static_cast<unsigned char>(bits >> (8 * i));
}

inline std::int64_t get_i64(const unsigned char* at) {
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | at[i];
  return static_cast<std::int64_t>(bits);
}

inline void put_u32(unsigned char* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline std::uint32_t get_u32(const unsigned char* at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

}  // namespace kel::format
