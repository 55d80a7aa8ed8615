#include "crypto/aead_check.h"

#include <openssl/crypto.h>

#include <cstring>

#include "crypto/ossl.h"
#include "store/secret.h"

namespace kel::crypto {

namespace {

// The Poly1305 key for `key` and `nonce`: ChaCha20 block 0 of the key stream.
bool one_time_key(const unsigned char* key, const unsigned char* nonce,
                  unsigned char* out) {
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  CipherPtr cipher(EVP_CIPHER_fetch(nullptr, kChaCha20, nullptr));
  if (!ctx || !cipher) return false;
  unsigned char iv[16] = {};  // block counter 0, then the nonce
  std::memcpy(iv + 4, nonce, 12);
  if (EVP_CipherInit_ex2(ctx.get(), cipher.get(), key, iv, 1, nullptr) != 1) {
    return false;
  }
  const unsigned char zeros[32] = {};
  int written = 0;
  return EVP_CipherUpdate(ctx.get(), out, &written, zeros, sizeof zeros) == 1 &&
         written == 32;
}

void put_u64(unsigned char* at, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

bool AeadCheck::begin(const unsigned char* key, const unsigned char* nonce,
                      std::string_view ad) {
  length_ = 0;
  ad_length_ = ad.size();
  mac_.reset(EVP_MAC_fetch(nullptr, "POLY1305", nullptr));
  if (!mac_) return false;
  ctx_.reset(EVP_MAC_CTX_new(mac_.get()));
  detail::SecretBytes<32> poly_key;
  if (!ctx_ || !one_time_key(key, nonce, poly_key.data()) ||
      EVP_MAC_init(ctx_.get(), poly_key.data(), poly_key.size(), nullptr) != 1) {
    return false;
  }
  if (ad.empty()) return true;
  const unsigned char zeros[16] = {};
  const std::size_t padding = (16 - ad.size() % 16) % 16;
  return EVP_MAC_update(ctx_.get(), reinterpret_cast<const unsigned char*>(ad.data()),
                        ad.size()) == 1 &&
         (padding == 0 || EVP_MAC_update(ctx_.get(), zeros, padding) == 1);
}

bool AeadCheck::update(const unsigned char* sealed, std::size_t length) {
  length_ += length;
  return length == 0 || EVP_MAC_update(ctx_.get(), sealed, length) == 1;
}

bool AeadCheck::finish(const unsigned char* tag) {
  unsigned char tail[16 + 16] = {};
  const std::size_t padding = (16 - length_ % 16) % 16;
  put_u64(tail + padding, ad_length_);
  put_u64(tail + padding + 8, length_);
  unsigned char computed[16] = {};
  std::size_t out_length = 0;
  return EVP_MAC_update(ctx_.get(), tail, padding + 16) == 1 &&
         EVP_MAC_final(ctx_.get(), computed, &out_length, sizeof computed) == 1 &&
         out_length == sizeof computed && CRYPTO_memcmp(computed, tag, 16) == 0;
}

}  // namespace kel::crypto
