// The store key on disk: sealed with ChaCha20-Poly1305 under a key derived
// from the store password (PBKDF2-HMAC-SHA256 with the store's salt).
#include <openssl/evp.h>

#include "crypto/primitives.h"
#include "crypto/store_key.h"
#include "kel/store.h"
#include "engine/records/format.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel {

namespace {

bool derive_wrapping_key(const std::string& password, const unsigned char* salt,
                         unsigned char* out) {
  return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                           salt, format::kSaltSize, format::kPbkdf2Iterations,
                           EVP_sha256(), format::kKeySize, out) == 1;
}

}  // namespace

int detail::encrypt_store_key(const unsigned char* key,
                             const std::string& password,
                             const unsigned char* salt,
                             const unsigned char* nonce,
                             unsigned char* key_cipher, unsigned char* tag,
                             std::string& error) {
  detail::SecretBytes<format::kKeySize> wrapping_key;
  if (!derive_wrapping_key(password, salt, wrapping_key.data()) ||
      encrypt_chacha20_poly1305(key, format::kKeySize, wrapping_key.data(),
                                nonce, key_cipher, tag) == -1) {
    detail::fail(error, Status::internal, "Encrypt store key failed");
    return -1;
  }
  return 0;
}

int detail::decrypt_store_key(const unsigned char* key_cipher,
                             const std::string& password,
                             const unsigned char* salt,
                             const unsigned char* nonce, unsigned char* key,
                             const unsigned char* tag, std::string& error) {
  detail::SecretBytes<format::kKeySize> wrapping_key;
  if (!derive_wrapping_key(password, salt, wrapping_key.data()) ||
      decrypt_chacha20_poly1305(key_cipher, format::kKeySize,
                                wrapping_key.data(), nonce, key, tag) == -1) {
    // Whatever the failed opening left in the output is not a key.
    detail::wipe(key, format::kKeySize);
    detail::fail(error, Status::damaged, "Decrypt store key failed");
    return -1;
  }
  return 0;
}

}  // namespace kel
