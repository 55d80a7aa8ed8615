// The text forms of key-slot identities (kel/key_slots.h), read and
// written with libsodium's base64 (URL-safe alphabet, no padding):
//
//   public key     "kelpk1" base64url(pk[32] || c[4]), 54 characters;
//                  c = the first 4 bytes of SHA-256("kel-safe public key"
//                  || pk): a character typed wrong fails the check.
//   identity file  "# kel-safe identity, created <UTC ISO time>\n"
//                  "# public key: <public key text>\n"
//                  "KEL-SAFE-IDENTITY-1" base64url(sk[32] || c[4]) "\n";
//                  c = the first 4 bytes of SHA-256("kel-safe identity" ||
//                  sk). Readers skip lines that begin with '#' and blank
//                  lines, and take the one line left.
//
// An all-zero public key, or one of small order (X25519 with it gives
// nothing secret), is refused.
#pragma once

#include <string>

namespace kel::detail {

// The text of the public key `pk` (32 bytes).
std::string public_key_text(const unsigned char* pk);

// Reads a public key text (surrounding white space allowed) into `pk`: 0,
// or -1 with what is wrong (invalid_argument).
int parse_public_key(const std::string& text, unsigned char* pk, std::string& error);

// Reads an identity file's text into its secret key `sk` and public key
// `pk`: 0, or -1 with what is wrong (invalid_argument). Nothing of the
// secret goes into the message.
int parse_identity(const std::string& text, unsigned char* sk, unsigned char* pk,
                   std::string& error);

}  // namespace kel::detail
