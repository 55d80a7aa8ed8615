// Store's cryptographic members: each hands its arguments to the free
// function of the same name, which the rest of the engine calls directly.
#include "crypto/primitives.h"
#include "crypto/store_key.h"
#include "kel/store.h"

namespace kel {

int Store::hash_string(int hash_size, const void* first, unsigned int first_length,
                       const void* second, unsigned int second_length, unsigned char* out,
                       std::string& error) {
  return detail::hash_string(hash_size, first, first_length, second, second_length, out,
                             error);
}

int Store::store_hash(const unsigned char* password, unsigned long length,
                      const unsigned char* salt, unsigned char* out, std::string& error) {
  return detail::store_hash(password, length, salt, out, error);
}

bool Store::verify_hash(const unsigned char* first, unsigned int first_length,
                        const unsigned char* second, unsigned int second_length) {
  return detail::verify_hash(first, first_length, second, second_length);
}

int Store::chacha20_encrypt(const unsigned char* in, unsigned long length,
                            const unsigned char* key, const unsigned char* iv,
                            unsigned char* out) {
  return detail::chacha20_encrypt(in, length, key, iv, out);
}

int Store::chacha20_decrypt(const unsigned char* in, unsigned long length,
                            const unsigned char* key, const unsigned char* iv,
                            unsigned char* out) {
  return detail::chacha20_decrypt(in, length, key, iv, out);
}

int Store::encrypt_chacha20_poly1305(const unsigned char* in, unsigned long length,
                                     const unsigned char* key, const unsigned char* nonce,
                                     unsigned char* out, unsigned char* tag) {
  return detail::encrypt_chacha20_poly1305(in, length, key, nonce, out, tag);
}

int Store::decrypt_chacha20_poly1305(const unsigned char* in, unsigned long length,
                                     const unsigned char* key, const unsigned char* nonce,
                                     unsigned char* out, const unsigned char* tag) {
  return detail::decrypt_chacha20_poly1305(in, length, key, nonce, out, tag);
}

int Store::gen_random(unsigned char* buffer, int count, std::string& error) {
  return detail::gen_random(buffer, count, error);
}

int Store::encrypt_store_key(const unsigned char* key, const std::string& password,
                             const unsigned char* salt, const unsigned char* nonce,
                             unsigned char* key_cipher, unsigned char* tag,
                             std::string& error) {
  return detail::encrypt_store_key(key, password, salt, nonce, key_cipher, tag, error);
}

int Store::decrypt_store_key(const unsigned char* key_cipher, const std::string& password,
                             const unsigned char* salt, const unsigned char* nonce,
                             unsigned char* key, const unsigned char* tag,
                             std::string& error) {
  return detail::decrypt_store_key(key_cipher, password, salt, nonce, key, tag, error);
}

void Store::set_store_key(const unsigned char* key) { detail::set_store_key(*this, key); }

int Store::get_store_key(unsigned char* key) { return detail::get_store_key(*this, key); }

}  // namespace kel
