// The store key: wrapped on disk under the password (format 1), masked in
// memory between operations. Store's members of the same names are thin
// wrappers over these.
#pragma once

#include <string>

#include "kel/store.h"

namespace kel::detail {

// Seals the 32-byte key under a key derived from the password and salt
// (PBKDF2-HMAC-SHA256); 0, or -1 with the error text.
int encrypt_store_key(const unsigned char* key, const std::string& password,
                      const unsigned char* salt, const unsigned char* nonce,
                      unsigned char* key_cipher, unsigned char* tag, std::string& error);
// Opens it again; on -1 `key` is wiped.
int decrypt_store_key(const unsigned char* key_cipher, const std::string& password,
                      const unsigned char* salt, const unsigned char* nonce, unsigned char* key,
                      const unsigned char* tag, std::string& error);
// Masks the 32-byte key in the store's memory under fresh random material.
void set_store_key(Store& store, const unsigned char* key);
// Unmasks the key into `key` (32 bytes); -1 while no key is masked.
int get_store_key(Store& store, unsigned char* key);

}  // namespace kel::detail
