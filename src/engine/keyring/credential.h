// What a Store opens its format-3 header with, besides (or instead of) its
// password: chosen by Safe::use_key_file or Safe::use_identity before the
// store is first opened. The key file is kept only as its SHA-256, the
// identity as its secret key; both are wiped once the store is open (as
// the password is), and with the Store's engine in any case.
#pragma once

#include "store/secret.h"

namespace kel::detail {

struct Credential {
  enum class Kind {
    password,   // password slots only (kind 1), as every store before slots
    key_file,   // password-and-key-file slots only (kind 3), with the password
    identity,   // recipient slots only (kind 2) whose key is the identity's
  };
  Kind kind = Kind::password;
  SecretBytes<32> key_file_hash;    // Kind::key_file: SHA-256 of the whole file
  SecretBytes<32> identity_secret;  // Kind::identity: the X25519 secret key
  unsigned char identity_public[32] = {};
};

}  // namespace kel::detail
