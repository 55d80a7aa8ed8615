// The digest, cipher and random primitives every part of the engine uses.
// Store's members of the same names are thin wrappers over these.
#pragma once

#include <string>

namespace kel::detail {

// SHA3 digest (`hash_size` 28, 32, 48 or 64 bytes) of `first` followed by
// `second` into `out`; 0, or -1 with the error text.
int hash_string(int hash_size, const void* first, unsigned int first_length,
                const void* second, unsigned int second_length, unsigned char* out,
                std::string& error);
// SHA3-512 of the password followed by the 8-byte salt.
int store_hash(const unsigned char* password, unsigned long length, const unsigned char* salt,
               unsigned char* out, std::string& error);
// Constant-time comparison: the time depends only on the lengths.
bool verify_hash(const unsigned char* first, unsigned int first_length,
                 const unsigned char* second, unsigned int second_length);
// Plain ChaCha20 with a 16-byte IV. 1 on success, -1 on failure (with a
// line on standard output).
int chacha20_encrypt(const unsigned char* in, unsigned long length, const unsigned char* key,
                     const unsigned char* iv, unsigned char* out);
int chacha20_decrypt(const unsigned char* in, unsigned long length, const unsigned char* key,
                     const unsigned char* iv, unsigned char* out);
// ChaCha20-Poly1305 without associated data. 1, or -1 (with a line on
// standard output; a failed opening prints nothing).
int encrypt_chacha20_poly1305(const unsigned char* in, unsigned long length,
                              const unsigned char* key, const unsigned char* nonce,
                              unsigned char* out, unsigned char* tag);
int decrypt_chacha20_poly1305(const unsigned char* in, unsigned long length,
                              const unsigned char* key, const unsigned char* nonce,
                              unsigned char* out, const unsigned char* tag);
// 0 when `count` random bytes were written, -1 with the error text set.
int gen_random(unsigned char* buffer, int count, std::string& error);

}  // namespace kel::detail
