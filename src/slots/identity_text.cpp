// Key-slot identities in text: see slots/identity_text.h for the forms.
#include "slots/identity_text.h"

#include <sodium.h>

#include <cstring>
#include <ctime>
#include <string_view>

#include "crypto/key_agreement.h"
#include "kel/key_slots.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel {

namespace detail {

namespace {

constexpr std::string_view kPublicPrefix = "kelpk1";
constexpr std::string_view kIdentityPrefix = "KEL-SAFE-IDENTITY-1";
constexpr char kPublicTag[] = "kel-safe public key";
constexpr char kIdentityTag[] = "kel-safe identity";
constexpr std::size_t kCheckSize = 4;
constexpr std::size_t kBinarySize = 32 + kCheckSize;
constexpr int kVariant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
// base64 of 36 bytes without padding.
constexpr std::size_t kEncodedSize = 48;

// The first 4 bytes of SHA-256(tag || key) into `out`.
void check_code(const char* tag, const unsigned char* key, unsigned char* out) {
  SecretBytes<crypto_hash_sha256_BYTES> digest;
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char*>(tag),
                            std::strlen(tag));
  crypto_hash_sha256_update(&state, key, 32);
  crypto_hash_sha256_final(&state, digest.data());
  sodium_memzero(&state, sizeof state);
  std::memcpy(out, digest.data(), kCheckSize);
}

// key || its check code in base64 into `out` (kEncodedSize + 1 bytes).
void encode(const char* tag, const unsigned char* key, char* out) {
  SecretBytes<kBinarySize> binary;
  std::memcpy(binary.data(), key, 32);
  check_code(tag, key, binary.data() + 32);
  sodium_bin2base64(out, kEncodedSize + 1, binary.data(), binary.size(), kVariant);
}

// The key of `encoded` (base64 of key || code) into `key`: false when it
// is not that, or its code does not match.
bool decode(const char* tag, std::string_view encoded, unsigned char* key) {
  if (encoded.size() != kEncodedSize) return false;
  SecretBytes<kBinarySize> binary;
  std::size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(binary.data(), binary.size(), encoded.data(), encoded.size(), nullptr,
                        &length, &end, kVariant) != 0 ||
      length != binary.size() || end != encoded.data() + encoded.size()) {
    return false;
  }
  unsigned char code[kCheckSize];
  check_code(tag, binary.data(), code);
  if (sodium_memcmp(code, binary.data() + 32, kCheckSize) != 0) return false;
  std::memcpy(key, binary.data(), 32);
  return true;
}

// Whether X25519 with `pk` gives a secret: not all zeros, not of small
// order (any clamped scalar times such a point is the identity).
bool usable_public_key(const unsigned char* pk) {
  if (sodium_init() < 0 || sodium_is_zero(pk, 32)) return false;
  unsigned char scalar[32];
  std::memset(scalar, 0x5a, sizeof scalar);
  unsigned char product[32];
  const bool usable = crypto_scalarmult(product, scalar, pk) == 0 && !sodium_is_zero(product, 32);
  sodium_memzero(product, sizeof product);
  return usable;
}

std::string_view trimmed(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::string public_key_text(const unsigned char* pk) {
  char encoded[kEncodedSize + 1];
  encode(kPublicTag, pk, encoded);
  return std::string(kPublicPrefix) + encoded;
}

int parse_public_key(const std::string& text, unsigned char* pk, std::string& error) {
  const std::string_view key = trimmed(text);
  if (key.substr(0, kPublicPrefix.size()) != kPublicPrefix) {
    return fail(error, Status::invalid_argument,
                "Not a kel-safe public key: it does not begin with \"kelpk1\"");
  }
  if (!decode(kPublicTag, key.substr(kPublicPrefix.size()), pk)) {
    return fail(error, Status::invalid_argument,
                "Not a kel-safe public key: its length or its check code is wrong (a "
                "character mistyped or missing?)");
  }
  if (!usable_public_key(pk)) {
    return fail(error, Status::invalid_argument,
                "Not a usable public key: it is all zeros or of small order");
  }
  return 0;
}

int parse_identity(const std::string& text, unsigned char* sk, unsigned char* pk,
                   std::string& error) {
  const char* const refused = "Not a kel-safe identity";
  std::string_view rest(text);
  std::string_view found;
  bool more = false;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = trimmed(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    if (!found.empty()) more = true;
    found = line;
  }
  if (found.empty() || more || found.substr(0, kIdentityPrefix.size()) != kIdentityPrefix) {
    return fail(error, Status::invalid_argument,
                std::string(refused) + ": it needs one line beginning with " +
                    std::string(kIdentityPrefix));
  }
  if (!decode(kIdentityTag, found.substr(kIdentityPrefix.size()), sk)) {
    return fail(error, Status::invalid_argument,
                std::string(refused) + ": its key's length or check code is wrong");
  }
  if (!crypto::x25519_public(sk, pk) || !usable_public_key(pk)) {
    wipe(sk, 32);
    return fail(error, Status::invalid_argument,
                std::string(refused) + ": its key gives no usable public key");
  }
  return 0;
}

}  // namespace detail

using detail::kEncodedSize;
using detail::kIdentityPrefix;
using detail::kIdentityTag;
using detail::SecretBytes;

Status generate_identity(std::string& identity_text, std::string& public_key,
                         std::string& error) {
  SecretBytes<32> sk;
  unsigned char pk[32];
  if (!crypto::x25519_key_pair(sk.data(), pk)) {
    detail::fail(error, Status::internal, "Could not make a key pair");
    return Status::internal;
  }
  public_key = detail::public_key_text(pk);
  char created[32] = {};
  const std::time_t now = std::time(nullptr);
  std::tm utc {};
  gmtime_r(&now, &utc);
  std::strftime(created, sizeof created, "%Y-%m-%dT%H:%M:%SZ", &utc);
  SecretBytes<kEncodedSize + 1> encoded;
  detail::encode(kIdentityTag, sk.data(), reinterpret_cast<char*>(encoded.data()));
  // Room for the whole text first: a string that grows leaves copies of
  // the secret behind in the memory it gives back.
  detail::wipe(identity_text.data(), identity_text.size());
  identity_text.clear();
  identity_text.reserve(160);
  identity_text.append("# kel-safe identity, created ").append(created).append("\n");
  identity_text.append("# public key: ").append(public_key).append("\n");
  identity_text.append(kIdentityPrefix);
  identity_text.append(reinterpret_cast<const char*>(encoded.data()), kEncodedSize);
  identity_text.append("\n");
  return Status::ok;
}

Status identity_public_key(const std::string& identity_text, std::string& public_key,
                           std::string& error) {
  SecretBytes<32> sk;
  unsigned char pk[32];
  if (detail::parse_identity(identity_text, sk.data(), pk, error) != 0) {
    return Status::invalid_argument;
  }
  public_key = detail::public_key_text(pk);
  return Status::ok;
}

Status check_public_key(const std::string& public_key, std::string& error) {
  unsigned char pk[32];
  return detail::parse_public_key(public_key, pk, error) == 0 ? Status::ok
                                                              : Status::invalid_argument;
}

}  // namespace kel
