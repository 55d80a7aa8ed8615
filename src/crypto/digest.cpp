// SHA-3 digests, the store password hash and constant-time comparison.
#include <openssl/evp.h>

#include <set>

#include "crypto/primitives.h"
#include "crypto/ossl.h"
#include "kel/store.h"
#include "store/status_note.h"

namespace kel {

namespace {

const char* sha3_name(int size) {
  switch (size) {
    case 28: return "SHA3-224";
    case 32: return "SHA3-256";
    case 48: return "SHA3-384";
    default: return "SHA3-512";
  }
}

}  // namespace

int detail::hash_string(int hash_size, const void* first,
                       unsigned int first_length, const void* second,
                       unsigned int second_length, unsigned char* out,
                       std::string& error) {
  static const std::set<int> support_hash_size{28, 32, 48, 64};
  if (support_hash_size.count(hash_size) == 0) {
    detail::fail(error, Status::internal, "Invalid hash_size");
    return -1;
  }
  // An empty input yields no digest and leaves the caller's buffer as it was.
  if (first_length == 0) return 0;
  try {
    crypto::MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx) {
      detail::fail(error, Status::internal, "Could not get EVP_MD_CTX");
      return -1;
    }
    crypto::MdPtr md(EVP_MD_fetch(nullptr, sha3_name(hash_size), nullptr));
    if (!md) {
      detail::fail(error, Status::internal, "Could not get EVP_MD");
      return -1;
    }
    if (EVP_DigestInit_ex2(ctx.get(), md.get(), nullptr) != 1) {
      detail::fail(error, Status::internal,
                   "Message digest initialization failed.");
      return -1;
    }
    if (EVP_DigestUpdate(ctx.get(), first, first_length) != 1 ||
        (second_length != 0 &&
         EVP_DigestUpdate(ctx.get(), second, second_length) != 1)) {
      detail::fail(error, Status::internal, "Message digest update failed.");
      return -1;
    }
    if (EVP_DigestFinal_ex(ctx.get(), out, nullptr) != 1) {
      detail::fail(error, Status::internal,
                   "Message digest finalization failed.");
      return -1;
    }
    return 0;
  } catch (...) {
    detail::fail(error, Status::internal,
                 "Unknown exception occurred in hash function.");
    return -1;
  }
}

int detail::store_hash(const unsigned char* password, unsigned long length,
                      const unsigned char* salt, unsigned char* out,
                      std::string& error) {
  return hash_string(64, password, static_cast<unsigned int>(length), salt, 8,
                     out, error);
}

bool detail::verify_hash(const unsigned char* first, unsigned int first_length,
                        const unsigned char* second,
                        unsigned int second_length) {
  if (first_length != second_length) return false;
  if (first_length == 0) return true;
  // Every byte is examined whatever the data: no early exit that would let
  // the running time tell where two hashes differ.
  volatile unsigned char difference = 0;
  for (unsigned int i = 0; i < first_length; ++i) {
    difference = difference | static_cast<unsigned char>(first[i] ^ second[i]);
  }
  return difference == 0;
}

}  // namespace kel
