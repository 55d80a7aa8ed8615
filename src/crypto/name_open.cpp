#include "crypto/name_open.h"

#include <errno.h>
#include <sodium.h>
#include <sys/random.h>

#include <cstring>

namespace kel::crypto {

namespace {

// sodium_init() also seeds libsodium's random generator, which this library
// never uses, from getrandom() or else /dev/urandom, and aborts the whole
// process when neither gives it a byte. A process that lost its random
// source after it was seeded (a sandbox that filters the system call and
// hides /dev) must still read its store, as it did when OpenSSL opened the
// names; so libsodium is set up only while getrandom() answers at once.
bool random_source_answers() {
  const int saved_errno = errno;
  unsigned char byte = 0;
  ssize_t got = 0;
  do {
    got = ::getrandom(&byte, 1, GRND_NONBLOCK);
  } while (got < 0 && errno == EINTR);
  errno = saved_errno;
  return got == 1;
}

// libsodium picks its fastest ChaCha20 and Poly1305 code for this processor
// in sodium_init(), which is safe to call from several threads and more than
// once. Its result needs no check: without it the portable code runs, which
// gives the same answers.
void ready_sodium() {
  static const int ready = random_source_answers() ? sodium_init() : -1;
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
