#include "totp.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <errno.h>
#include <unistd.h>

#include <array>
#include <memory>

#include "status.h"

namespace kel::tool {

namespace {

constexpr std::string_view kScheme = "otpauth://";

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The first line of `value` that begins with otpauth:// (the scheme in any
// case, as URIs allow), without its line end and trailing blanks.
std::optional<std::string_view> uri_line(std::string_view value) {
  for (std::size_t start = 0; start < value.size();) {
    std::size_t end = value.find('\n', start);
    if (end == std::string_view::npos) end = value.size();
    std::string_view line = value.substr(start, end - start);
    while (!line.empty() && space(line.back())) line.remove_suffix(1);
    if (same_ignoring_case(line.substr(0, kScheme.size()), kScheme)) return line;
    start = end + 1;
  }
  return std::nullopt;
}

// The fewest bytes a bare base32 value must decode to.
constexpr std::size_t kShortestBareSecret = 10;

// RFC 4648 base32: letters in either case, padding optional, blanks
// ignored. Only the position of a wrong character is told, never the
// character: it is part of the secret.
bool decode_base32(std::string_view text, Secret& out, std::string& why) {
  std::uint32_t bits = 0;
  int held = 0;
  std::size_t symbols = 0;
  bool padded = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (space(c)) continue;
    if (c == '=') {
      padded = true;
      continue;
    }
    int symbol = -1;
    if (c >= 'A' && c <= 'Z') symbol = c - 'A';
    if (c >= 'a' && c <= 'z') symbol = c - 'a';
    if (c >= '2' && c <= '7') symbol = c - '2' + 26;
    if (symbol < 0 || padded) {
      why = "character " + std::to_string(i + 1) + " of the secret is not base32 " +
            (padded ? "(text after the '=' padding)" : "(A to Z and 2 to 7)");
      bits = 0;
      return false;
    }
    bits = (bits << 5) | static_cast<std::uint32_t>(symbol);
    held += 5;
    ++symbols;
    if (held >= 8) {
      held -= 8;
      out.push_back(static_cast<char>((bits >> held) & 0xff));
    }
  }
  bits = 0;
  // 1, 3 or 6 symbols beyond a group of 8 encode no whole byte.
  const std::size_t rest = symbols % 8;
  if (rest == 1 || rest == 3 || rest == 6) {
    why = "the secret's length (" + std::to_string(symbols) +
          " base32 characters) is not that of any base32 text; is a character missing?";
    return false;
  }
  if (out.empty()) {
    why = "the secret is empty";
    return false;
  }
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A parameter's value with its %XX escapes decoded.
bool percent_decode(std::string_view text, Secret& out) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    const int high = i + 2 < text.size() ? hex_digit(text[i + 1]) : -1;
    const int low = high >= 0 ? hex_digit(text[i + 2]) : -1;
    if (low < 0) return false;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return true;
}

bool whole_number(std::string_view text, std::uint64_t low, std::uint64_t high,
                  std::uint64_t& number) {
  if (text.empty() || text.size() > 12) return false;
  number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return number >= low && number <= high;
}

// otpauth://totp/LABEL?secret=BASE32[&algorithm=SHA1|SHA256|SHA512]
// [&digits=6..8][&period=SECONDS]; other parameters (issuer, image) say
// nothing about the code and are left alone.
std::optional<TotpKey> parse_uri(std::string_view uri, std::string& why) {
  std::string_view rest = uri.substr(kScheme.size());
  const std::size_t slash = rest.find('/');
  const std::string_view type = rest.substr(0, slash);
  if (same_ignoring_case(type, "hotp")) {
    why = "the URI is for counter-based codes (hotp); kel-safe otp makes time-based ones "
          "(otpauth://totp/...)";
    return std::nullopt;
  }
  if (slash == std::string_view::npos || !same_ignoring_case(type, "totp")) {
    why = "the URI does not begin with otpauth://totp/";
    return std::nullopt;
  }
  rest.remove_prefix(slash + 1);
  rest = rest.substr(0, rest.find('#'));
  const std::size_t question = rest.find('?');
  if (question == std::string_view::npos) {
    why = "the URI has no parameters: secret= is missing (otpauth://totp/LABEL?secret=...)";
    return std::nullopt;
  }
  std::string_view query = rest.substr(question + 1);
  TotpKey key;
  bool seen[4] = {false, false, false, false};
  const char* const known[4] = {"secret", "algorithm", "digits", "period"};
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const std::size_t equals = pair.find('=');
    const std::string_view name = pair.substr(0, equals);
    const std::string_view raw =
        equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
    int which = -1;
    for (int k = 0; k < 4; ++k) {
      if (same_ignoring_case(name, known[k])) which = k;
    }
    if (which < 0) continue;
    if (seen[which]) {
      why = std::string("the parameter ") + known[which] + "= is given twice";
      return std::nullopt;
    }
    seen[which] = true;
    Secret text;
    if (!percent_decode(raw, text)) {
      why = std::string("the value of ") + known[which] + "= holds a '%' that is not %XX";
      return std::nullopt;
    }
    std::uint64_t number = 0;
    switch (which) {
      case 0:
        if (!decode_base32(text.view(), key.key, why)) return std::nullopt;
        break;
      case 1:
        key.digest.clear();
        for (const char* digest : {"SHA1", "SHA256", "SHA512"}) {
          if (same_ignoring_case(text.view(), digest)) key.digest = digest;
        }
        if (key.digest.empty()) {
          why = "algorithm= must be SHA1, SHA256 or SHA512, not " + quoted(text.view());
          return std::nullopt;
        }
        break;
      case 2:
        if (!whole_number(text.view(), 6, 8, number)) {
          why = "digits= must be 6, 7 or 8, not " + quoted(text.view());
          return std::nullopt;
        }
        key.digits = static_cast<int>(number);
        break;
      default:
        // A period past the year 2100 in seconds is no period.
        if (!whole_number(text.view(), 1, 4'102'444'800, number)) {
          why = "period= must be a whole number of seconds, at least 1, not " +
                quoted(text.view());
          return std::nullopt;
        }
        key.period = number;
        break;
    }
  }
  if (!seen[0]) {
    why = "the URI has no secret= parameter";
    return std::nullopt;
  }
  return key;
}

struct MacFree {
  void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
};
struct MacContextFree {
  void operator()(EVP_MAC_CTX* context) const { EVP_MAC_CTX_free(context); }
};

}  // namespace

std::optional<TotpKey> totp_key(std::string_view value, std::string& why) {
  if (const auto uri = uri_line(value)) return parse_uri(*uri, why);
  TotpKey key;
  std::string detail;
  if (decode_base32(value, key.key, detail)) {
    // A word such as "password" is base32 too: a bare value must hold at
    // least the 80 bits of the shortest secrets services hand out (16
    // characters), or it is a password, not a TOTP secret.
    if (key.key.size() >= kShortestBareSecret) return key;
    detail = "the secret is " + std::to_string(key.key.size()) +
             " bytes, fewer than the 10 (16 base32 characters) of any TOTP secret";
  }
  why = "the value is neither an otpauth://totp/ URI nor a base32 secret: " + detail;
  return std::nullopt;
}

bool bad_otpauth_uri(std::string_view value, std::string& why) {
  const auto uri = uri_line(value);
  return uri && !parse_uri(*uri, why);
}

void refuse_bad_otpauth_uri(std::string_view value, const std::string& what) {
  std::string why;
  if (bad_otpauth_uri(value, why)) {
    throw Failure(kRejected, what + ": the value holds an otpauth:// URI that kel-safe otp "
                                    "cannot use: " + why + "; nothing is stored");
  }
}

void refuse_bad_otpauth_file(int fd, std::uint64_t size, const std::string& what) {
  constexpr std::uint64_t kLongestChecked = 64 * 1024;
  if (size > kLongestChecked) return;
  Secret content(static_cast<std::size_t>(size));
  char* into = content.extend(static_cast<std::size_t>(size));
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = pread(fd, into + got, static_cast<std::size_t>(size) - got,
                            static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the library's own read reports a failure
    got += static_cast<std::size_t>(n);
  }
  content.commit(got);
  refuse_bad_otpauth_uri(content.view(), what);
}

Secret totp_code(const TotpKey& key, std::uint64_t unix_time) {
  const std::uint64_t counter = unix_time / key.period;
  std::array<unsigned char, 8> message{};
  for (std::size_t i = 0; i < message.size(); ++i) {
    message[i] = static_cast<unsigned char>(counter >> (56 - 8 * i));
  }
  std::unique_ptr<EVP_MAC, MacFree> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  std::unique_ptr<EVP_MAC_CTX, MacContextFree> context(mac ? EVP_MAC_CTX_new(mac.get())
                                                           : nullptr);
  std::string digest = key.digest;
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest.data(), 0),
      OSSL_PARAM_construct_end()};
  std::array<unsigned char, EVP_MAX_MD_SIZE> hash{};
  std::size_t length = 0;
  const bool made =
      context &&
      EVP_MAC_init(context.get(), reinterpret_cast<const unsigned char*>(key.key.str().data()),
                   key.key.size(), params) == 1 &&
      EVP_MAC_update(context.get(), message.data(), message.size()) == 1 &&
      EVP_MAC_final(context.get(), hash.data(), &length, hash.size()) == 1 && length >= 20;
  if (!made) {
    wipe(hash.data(), hash.size());
    throw Failure(kInternal, "otp: cannot compute HMAC-" + key.digest + " (OpenSSL)");
  }
  // RFC 4226's dynamic truncation: 31 bits from the offset the last
  // nibble names.
  const std::size_t offset = hash[length - 1] & 0x0f;
  std::uint32_t number = (static_cast<std::uint32_t>(hash[offset] & 0x7f) << 24) |
                         (static_cast<std::uint32_t>(hash[offset + 1]) << 16) |
                         (static_cast<std::uint32_t>(hash[offset + 2]) << 8) |
                         static_cast<std::uint32_t>(hash[offset + 3]);
  wipe(hash.data(), hash.size());
  Secret code(static_cast<std::size_t>(key.digits) + 1);
  std::array<char, 8> digits{};
  for (int i = key.digits - 1; i >= 0; --i) {
    digits[static_cast<std::size_t>(i)] = static_cast<char>('0' + number % 10);
    number /= 10;
  }
  code.append(digits.data(), static_cast<std::size_t>(key.digits));
  wipe(digits.data(), digits.size());
  wipe(&number, sizeof number);
  return code;
}

}  // namespace kel::tool
