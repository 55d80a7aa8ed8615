#include "crypto/name_open.h"

#include <sodium.h>

#include <cstring>

namespace kel::crypto {

namespace {

// libsodium picks its fastest ChaCha20 and Poly1305 code for this processor
// in sodium_init(), which is safe to call from several threads and more than
// once. Its result needs no check: without it the portable code runs, which
// gives the same answers.
void ready_sodium() {
  static const int ready = sodium_init();
  (void)ready;
}

}  // namespace

bool open_name(const unsigned char* key, const unsigned char* nonce,
               const unsigned char* tag, const unsigned char* sealed,
               std::size_t length, unsigned char* out, std::string_view ad) {
  ready_sodium();
  if (length == 0) return false;
  // libsodium checks the tag before it decrypts and zeroes `out` when the
  // tag fails; the explicit clear keeps that promise whatever its version.
  const int opened = crypto_aead_chacha20poly1305_ietf_decrypt_detached(
      out, nullptr, sealed, length, tag,
      reinterpret_cast<const unsigned char*>(ad.data()), ad.size(), nonce, key);
  if (opened != 0) {
    std::memset(out, 0, length);
    return false;
  }
  return true;
}

}  // namespace kel::crypto
