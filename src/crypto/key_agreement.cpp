// X25519 through libsodium; HKDF and HMAC through OpenSSL's provider calls,
// each object held by its owner (crypto/ossl.h).
#include "crypto/key_agreement.h"

#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <sodium.h>

#include <cstring>

#include "crypto/ossl.h"
#include "crypto/wipe.h"

namespace kel::crypto {

using detail::wipe;

namespace {

bool sodium_ready() { return sodium_init() >= 0; }

// OSSL_PARAM wants non-const pointers for octet strings it only reads.
void* unconst(std::string_view bytes) { return const_cast<char*>(bytes.data()); }

}  // namespace

bool x25519_public(const unsigned char* secret_key, unsigned char* public_key) {
  return sodium_ready() && crypto_scalarmult_base(public_key, secret_key) == 0;
}

bool x25519_key_pair(unsigned char* secret_key, unsigned char* public_key) {
  if (!sodium_ready()) return false;
  randombytes_buf(secret_key, kX25519Size);
  if (x25519_public(secret_key, public_key)) return true;
  wipe(secret_key, kX25519Size);
  return false;
}

bool x25519_shared(const unsigned char* secret_key, const unsigned char* peer_public,
                   unsigned char* shared) {
  // libsodium refuses (-1) a result of all zeros itself; the check below
  // holds whatever version is linked.
  if (!sodium_ready() || crypto_scalarmult(shared, secret_key, peer_public) != 0 ||
      sodium_is_zero(shared, kX25519Size)) {
    wipe(shared, kX25519Size);
    return false;
  }
  return true;
}

bool hkdf_sha256(std::string_view ikm, std::string_view salt, std::string_view info,
                 unsigned char* out, std::size_t out_length) {
  KdfPtr kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  if (!kdf) return false;
  KdfCtxPtr ctx(EVP_KDF_CTX_new(kdf.get()));
  if (!ctx) return false;
  char digest[] = "SHA256";
  OSSL_PARAM params[5];
  std::size_t count = 0;
  params[count++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
  params[count++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, unconst(ikm),
                                                      ikm.size());
  if (!salt.empty()) {
    params[count++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT,
                                                        unconst(salt), salt.size());
  }
  params[count++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, unconst(info),
                                                      info.size());
  params[count] = OSSL_PARAM_construct_end();
  if (EVP_KDF_derive(ctx.get(), out, out_length, params) == 1) return true;
  wipe(out, out_length);
  return false;
}

bool hmac_sha256(std::string_view key, std::string_view data, unsigned char* out) {
  MacPtr mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  if (!mac) return false;
  MacCtxPtr ctx(EVP_MAC_CTX_new(mac.get()));
  if (!ctx) return false;
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end()};
  std::size_t written = 0;
  if (EVP_MAC_init(ctx.get(), reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                   params) != 1 ||
      EVP_MAC_update(ctx.get(), reinterpret_cast<const unsigned char*>(data.data()),
                     data.size()) != 1 ||
      EVP_MAC_final(ctx.get(), out, &written, kHmacSha256Size) != 1 ||
      written != kHmacSha256Size) {
    wipe(out, kHmacSha256Size);
    return false;
  }
  return true;
}

}  // namespace kel::crypto
