// One-time codes from a stored value: time-based codes (RFC 6238) from an
// otpauth://totp/ URI, as authenticator apps take them from a QR code, or
// from a bare base32 secret, which means SHA-1, 6 digits, 30 seconds.
//
// The shared secret and each code are secrets like any value: they live in
// Secret buffers, and no failure text quotes any part of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "secret.h"

namespace kel::tool {

struct TotpKey {
  Secret key;                  // the decoded shared secret
  std::string digest = "SHA1";  // SHA1, SHA256 or SHA512
  int digits = 6;              // 6 to 8
  std::uint64_t period = 30;   // seconds, at least 1
};

// The key a stored value stands for: its first line that begins with
// otpauth:// (so that a password may come first, as pass keeps it), else
// the whole value as base32. nullopt with `why` set when it is neither.
std::optional<TotpKey> totp_key(std::string_view value, std::string& why);

// Whether `value` holds an otpauth:// URI (one of its lines begins so)
// that does not parse; `why` then says what is wrong with it, without
// quoting it. A value without such a line is no URI and passes.
bool bad_otpauth_uri(std::string_view value, std::string& why);

// add's check: throws a Failure (kRejected) for `what` when `value` holds
// a bad otpauth:// URI, so that a mistyped one is never stored silently.
void refuse_bad_otpauth_uri(std::string_view value, const std::string& what);
// The same for the regular file `fd` of `size` bytes that add --file
// stores, read from its start without moving its offset. Larger files
// than a URI could fill are not read.
void refuse_bad_otpauth_file(int fd, std::uint64_t size, const std::string& what);

// The code for `unix_time`, `digits` decimal digits with leading zeros.
// Throws a Failure (kInternal) when the HMAC cannot be computed.
Secret totp_code(const TotpKey& key, std::uint64_t unix_time);

}  // namespace kel::tool
