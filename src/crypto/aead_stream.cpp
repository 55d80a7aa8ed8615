#include "crypto/aead_stream.h"

#include <openssl/core_names.h>
#include <openssl/params.h>

#include <cstring>

#include "crypto/aead.h"

namespace kel::crypto {

namespace {

// The expected tag as a parameter of the cipher's initialisation, which sets
// it after the nonce: one call per value instead of an initialisation and a
// control call. `copy` holds the tag for as long as the parameters are used.
struct TagParameter {
  explicit TagParameter(const unsigned char* expected_tag) {
    if (expected_tag == nullptr) return;
    std::memcpy(copy, expected_tag, sizeof copy);
    params[0] = OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, copy,
                                                  sizeof copy);
  }
  unsigned char copy[16];
  OSSL_PARAM params[2] = {OSSL_PARAM_construct_end(), OSSL_PARAM_construct_end()};
};

}  // namespace

bool AeadStream::begin(const unsigned char* key, const unsigned char* nonce,
                       bool encrypt, const unsigned char* expected_tag,
                       std::string_view ad) {
  encrypt_ = encrypt;
  // Opening without a tag to check would accept anything.
  if (!encrypt_ && expected_tag == nullptr) return false;
  // A stream that is begun again keeps its context and cipher: fetching the
  // cipher costs more than a small value's whole work.
  if (!ctx_) ctx_.reset(EVP_CIPHER_CTX_new());
  if (!cipher_) cipher_.reset(EVP_CIPHER_fetch(nullptr, kChaCha20Poly1305, nullptr));
  if (!ctx_ || !cipher_) return false;
  TagParameter tag(encrypt_ ? nullptr : expected_tag);
  return EVP_CipherInit_ex2(ctx_.get(), cipher_.get(), key, nonce, encrypt_ ? 1 : 0,
                            tag.params) == 1 &&
         add_associated_data(ctx_.get(), ad);
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
