// ChaCha20-Poly1305 sealing and opening of one whole field (a name, a value or
// the wrapped store key): 12-byte nonce, 16-byte tag, and associated data
// only where format 2 binds the field to something (none in format 1).
#include "crypto/primitives.h"
#include "crypto/aead.h"

#include <cstring>

#include "crypto/ossl.h"
#include "kel/store.h"

namespace kel {

namespace {

// The common opening of both calls: a context and the cipher, each reported
// when missing.
bool open_cipher(crypto::CipherCtxPtr& ctx, crypto::CipherPtr& cipher) {
  ctx.reset(EVP_CIPHER_CTX_new());
  cipher.reset(EVP_CIPHER_fetch(nullptr, crypto::kChaCha20Poly1305, nullptr));
  if (!ctx) {
    crypto::print_line("Could not initialize CTX");
    return false;
  }
  if (!cipher) {
    crypto::print_line("Could not fetch cipher");
    return false;
  }
  return true;
}

// The associated data, the whole field through the cipher, then the final
// call (where opening checks the tag). Each failure prints its own line.
bool process(EVP_CIPHER_CTX* ctx, std::string_view ad, const unsigned char* in,
             unsigned long length, unsigned char* out, const char* final_failure) {
  if (!crypto::add_associated_data(ctx, ad)) {
    crypto::print_line("Cipher update error");
    return false;
  }
  std::size_t written = 0;
  if (!crypto::cipher_update(ctx, out, in, length, written)) {
    crypto::print_line("Cipher update error");
    return false;
  }
  int final_length = 0;
  if (EVP_CipherFinal_ex(ctx, out + written, &final_length) != 1) {
    crypto::print_line(final_failure);
    return false;
  }
  return true;
}

}  // namespace

namespace crypto {

bool add_associated_data(EVP_CIPHER_CTX* ctx, std::string_view ad) {
  if (ad.empty()) return true;
  int ignored = 0;
  return ad.size() <= 0x7FFFFFFF &&
         EVP_CipherUpdate(ctx, nullptr, &ignored,
                          reinterpret_cast<const unsigned char*>(ad.data()),
                          static_cast<int>(ad.size())) == 1;
}

int seal(const unsigned char* in, unsigned long length, const unsigned char* key,
         const unsigned char* nonce, unsigned char* out, unsigned char* tag,
         std::string_view ad) {
  crypto::CipherCtxPtr ctx;
  crypto::CipherPtr cipher;
  if (!open_cipher(ctx, cipher)) return -1;
  if (EVP_CipherInit_ex2(ctx.get(), cipher.get(), key, nonce, 1, nullptr) != 1) {
    crypto::print_line("Could not set init");
    return -1;
  }
  if (!process(ctx.get(), ad, in, length, out, "Cipher final error")) return -1;
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, 16, tag) != 1) {
    crypto::print_line("Could not get tag");
    return -1;
  }
  return 1;
}

int open(const unsigned char* in, unsigned long length, const unsigned char* key,
         const unsigned char* nonce, unsigned char* out,
         const unsigned char* expected_tag, std::string_view ad) {
  unsigned char tag[16];
  std::memcpy(tag, expected_tag, sizeof tag);
  crypto::CipherCtxPtr ctx;
  crypto::CipherPtr cipher;
  if (!open_cipher(ctx, cipher)) return -1;
  if (EVP_CipherInit_ex2(ctx.get(), cipher.get(), key, nonce, 0, nullptr) != 1) {
    crypto::print_line("Initialize error");
    return -1;
  }
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, 16, tag) != 1) {
    crypto::print_line("Could not set tag");
    return -1;
  }
  return process(ctx.get(), ad, in, length, out, "Cipher finalize error") ? 1 : -1;
}

}  // namespace crypto

int detail::encrypt_chacha20_poly1305(const unsigned char* in,
                                     unsigned long length,
                                     const unsigned char* key,
                                     const unsigned char* nonce,
                                     unsigned char* out, unsigned char* tag) {
  try {
    return crypto::seal(in, length, key, nonce, out, tag, {});
  } catch (...) {
    crypto::print_line("Exception occurred in encryption");
    return -1;
  }
}

int detail::decrypt_chacha20_poly1305(const unsigned char* in,
                                     unsigned long length,
                                     const unsigned char* key,
                                     const unsigned char* nonce,
                                     unsigned char* out,
                                     const unsigned char* tag) {
  try {
    return crypto::open(in, length, key, nonce, out, tag, {});
  } catch (...) {
    crypto::print_line("exception occurred in decrypt");
    return -1;
  }
}

}  // namespace kel
