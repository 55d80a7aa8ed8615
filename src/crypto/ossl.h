// Owners for the OpenSSL objects the store creates per call, so that each is
// freed on every path, and small helpers shared by the cipher calls.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <memory>

namespace kel::crypto {

struct MdCtxFree {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct MdFree {
  void operator()(EVP_MD* p) const { EVP_MD_free(p); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
struct CipherFree {
  void operator()(EVP_CIPHER* p) const { EVP_CIPHER_free(p); }
};

using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using MdPtr = std::unique_ptr<EVP_MD, MdFree>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using CipherPtr = std::unique_ptr<EVP_CIPHER, CipherFree>;

inline constexpr const char* kChaCha20 = "ChaCha20";
inline constexpr const char* kChaCha20Poly1305 = "ChaCha20-Poly1305";

// EVP_CipherUpdate takes an int length; this feeds any length through it in
// pieces. `written` receives the total output. False when a piece fails.
bool cipher_update(EVP_CIPHER_CTX* ctx, unsigned char* out,
                   const unsigned char* in, std::size_t length,
                   std::size_t& written);

// One diagnostic line to the application's sink (kel/diagnostics.h).
void print_line(const char* text);

}  // namespace kel::crypto

#include <openssl/core_names.h>
#include <openssl/kdf.h>

namespace kel::crypto {

struct KdfFree {
  void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
};
struct KdfCtxFree {
  void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
};
struct MacFree {
  void operator()(EVP_MAC* p) const { EVP_MAC_free(p); }
};
struct MacCtxFree {
  void operator()(EVP_MAC_CTX* p) const { EVP_MAC_CTX_free(p); }
};

using KdfPtr = std::unique_ptr<EVP_KDF, KdfFree>;
using KdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, KdfCtxFree>;
using MacPtr = std::unique_ptr<EVP_MAC, MacFree>;
using MacCtxPtr = std::unique_ptr<EVP_MAC_CTX, MacCtxFree>;

}  // namespace kel::crypto
