// Opening one item name in a single call. A scan opens one name per record,
// so this is where building the index spends its time. OpenSSL 3 routes
// every cipher call through its provider layer (parameter lookups, context
// checks), which for a name of a few bytes costs more than the cipher
// itself; libsodium's ChaCha20-Poly1305 (the IETF construction of RFC 8439,
// byte for byte what OpenSSL seals) works straight from the key, nonce and
// tag, and so opens a name in about two thirds of the time. Values, which
// can be large, and everything that seals stay with OpenSSL.
#pragma once

#include <cstddef>
#include <string_view>

namespace kel::crypto {

// Opens the `length` sealed bytes at `sealed` under a 32-byte key, a 12-byte
// nonce and a 16-byte tag, with `ad` as associated data (none in format 1).
// True only when the tag authenticates every byte and `ad`; `out` (room for
// `length` bytes) then holds the name. On false `out` holds zeros, never
// plain bytes that failed to authenticate. Safe to call from several threads
// at once. Prints nothing.
bool open_name(const unsigned char* key, const unsigned char* nonce,
               const unsigned char* tag, const unsigned char* sealed,
               std::size_t length, unsigned char* out, std::string_view ad = {});

}  // namespace kel::crypto
