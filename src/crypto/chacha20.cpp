// Plain ChaCha20, used only to mask the store key while it sits in memory.
// The 16-byte IV is OpenSSL's form: a 4-byte block counter, then the nonce.
#include "crypto/primitives.h"
#include "crypto/ossl.h"
#include "kel/store.h"

namespace kel {

namespace {

int chacha20(const unsigned char* in, unsigned long length,
             const unsigned char* key, const unsigned char* iv,
             unsigned char* out, int encrypt) {
  crypto::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  crypto::CipherPtr cipher(EVP_CIPHER_fetch(nullptr, crypto::kChaCha20, nullptr));
  if (!ctx) {
    crypto::print_line("Could not initialize CTX");
    return -1;
  }
  if (!cipher) {
    crypto::print_line("Could not fetch cipher");
    return -1;
  }
  if (EVP_CipherInit_ex2(ctx.get(), cipher.get(), key, iv, encrypt, nullptr) != 1) {
    // Only encryption reports a failed initialisation.
    if (encrypt) crypto::print_line("Could not set init");
    return -1;
  }
  std::size_t written = 0;
  if (!crypto::cipher_update(ctx.get(), out, in, length, written)) return -1;
  int final_length = 0;
  if (EVP_CipherFinal_ex(ctx.get(), out + written, &final_length) != 1) return -1;
  return 1;
}

}  // namespace

int detail::chacha20_encrypt(const unsigned char* in, unsigned long length,
                            const unsigned char* key, const unsigned char* iv,
                            unsigned char* out) {
  try {
    return chacha20(in, length, key, iv, out, 1);
  } catch (...) {
    crypto::print_line("Exception occurred in encryption");
    return -1;
  }
}

int detail::chacha20_decrypt(const unsigned char* in, unsigned long length,
                            const unsigned char* key, const unsigned char* iv,
                            unsigned char* out) {
  try {
    return chacha20(in, length, key, iv, out, 0);
  } catch (...) {
    crypto::print_line("exception occurred in decrypt");
    return -1;
  }
}

}  // namespace kel
