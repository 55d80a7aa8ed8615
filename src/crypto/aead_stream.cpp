#include "crypto/aead_stream.h"

#include <cstring>

#include "crypto/aead.h"

namespace kel::crypto {

bool AeadStream::begin(const unsigned char* key, const unsigned char* nonce,
                       bool encrypt, const unsigned char* expected_tag,
                       std::string_view ad) {
  encrypt_ = encrypt;
  // A stream that is begun again keeps its context and cipher: a scan opens
  // thousands of names, and fetching the cipher costs more than opening one.
  if (!ctx_) ctx_.reset(EVP_CIPHER_CTX_new());
  if (!cipher_) cipher_.reset(EVP_CIPHER_fetch(nullptr, kChaCha20Poly1305, nullptr));
  if (!ctx_ || !cipher_) return false;
  if (EVP_CipherInit_ex2(ctx_.get(), cipher_.get(), key, nonce, encrypt ? 1 : 0,
                         nullptr) != 1) {
    return false;
  }
  return (encrypt || set_tag(expected_tag)) && add_associated_data(ctx_.get(), ad);
}

bool AeadStream::restart(const unsigned char* nonce, const unsigned char* expected_tag,
                         std::string_view ad) {
  if (!ctx_ || !cipher_ ||
      EVP_CipherInit_ex2(ctx_.get(), nullptr, nullptr, nonce, encrypt_ ? 1 : 0, nullptr) != 1) {
    return false;
  }
  return (encrypt_ || set_tag(expected_tag)) && add_associated_data(ctx_.get(), ad);
}

bool AeadStream::set_tag(const unsigned char* expected_tag) {
  unsigned char tag[16];
  std::memcpy(tag, expected_tag, sizeof tag);
  return EVP_CIPHER_CTX_ctrl(ctx_.get(), EVP_CTRL_AEAD_SET_TAG, 16, tag) == 1;
}

bool AeadStream::update(const unsigned char* in, std::size_t length,
                        unsigned char* out) {
  if (length == 0) return true;
  std::size_t written = 0;
  return cipher_update(ctx_.get(), out, in, length, written) && written == length;
}

bool AeadStream::finish(unsigned char* tag) {
  unsigned char scratch[16];
  int final_length = 0;
  if (EVP_CipherFinal_ex(ctx_.get(), scratch, &final_length) != 1) return false;
  if (encrypt_) {
    return EVP_CIPHER_CTX_ctrl(ctx_.get(), EVP_CTRL_AEAD_GET_TAG, 16, tag) == 1;
  }
  return true;
}

}  // namespace kel::crypto
