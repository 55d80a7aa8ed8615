// The public-key pieces of a key slot: X25519 key pairs and agreement
// (libsodium), HKDF-SHA256 and HMAC-SHA256 (OpenSSL 3's EVP_KDF "HKDF" and
// EVP_MAC "HMAC"). Every call prints nothing and reports failure by its
// result; the callers word it. Outputs that are secrets are the caller's to
// wipe.
#pragma once

#include <cstddef>
#include <string_view>

namespace kel::crypto {

inline constexpr std::size_t kX25519Size = 32;
inline constexpr std::size_t kHmacSha256Size = 32;

// A fresh key pair: 32 random secret bytes and their public key. False when
// no randomness could be had.
bool x25519_key_pair(unsigned char* secret_key, unsigned char* public_key);

// The public key of `secret_key`. False only on a fault of the library.
bool x25519_public(const unsigned char* secret_key, unsigned char* public_key);

// X25519(secret_key, peer_public) into `shared`. False (and `shared` zero)
// when the result is all zeros: a peer key of small order, which would make
// the "shared" secret public.
bool x25519_shared(const unsigned char* secret_key, const unsigned char* peer_public,
                   unsigned char* shared);

// HKDF-SHA256 (RFC 5869, extract then expand) of `ikm` with `salt` (empty:
// the RFC's zero salt) and `info`, into `out_length` bytes at `out`.
bool hkdf_sha256(std::string_view ikm, std::string_view salt, std::string_view info,
                 unsigned char* out, std::size_t out_length);

// HMAC-SHA256 of `data` under `key` into the 32 bytes at `out`.
bool hmac_sha256(std::string_view key, std::string_view data, unsigned char* out);

// A view of `length` raw bytes, for the calls above.
inline std::string_view bytes(const unsigned char* data, std::size_t length) {
  return {reinterpret_cast<const char*>(data), length};
}

}  // namespace kel::crypto
