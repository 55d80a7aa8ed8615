// Sealing and opening one whole field with ChaCha20-Poly1305 and optional
// associated data: what Store::encrypt_chacha20_poly1305 and
// Store::decrypt_chacha20_poly1305 do (those pass none), for the fields that
// format 2 binds to their name or their store.
#pragma once

#include <openssl/evp.h>

#include <string_view>

namespace kel::crypto {

// 1 on success, -1 on failure with one diagnostic line. Opening fails unless
// `tag` authenticates the field and `ad` exactly; `out` then holds nothing
// to use.
int seal(const unsigned char* in, unsigned long length, const unsigned char* key,
         const unsigned char* nonce, unsigned char* out, unsigned char* tag,
         std::string_view ad);
int open(const unsigned char* in, unsigned long length, const unsigned char* key,
         const unsigned char* nonce, unsigned char* out, const unsigned char* tag,
         std::string_view ad);

// Feeds `ad` to a ChaCha20-Poly1305 context as associated data (after its
// key and nonce are set, before any field byte). Nothing for empty `ad`.
bool add_associated_data(EVP_CIPHER_CTX* ctx, std::string_view ad);

}  // namespace kel::crypto
