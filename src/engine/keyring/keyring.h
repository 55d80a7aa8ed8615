// The key material of a store beyond the format-1 header fields the Store
// itself holds: whether a key is masked, and format 2's Argon2id
// parameters, salt, store identifier and the header the password was
// checked against.
#pragma once

#include <cstdint>

namespace kel::detail {

struct Keyring {
  // True only while the Store's masked_store_key holds a successfully
  // masked key.
  bool store_key_masked = false;
  // The format of the header loaded last, 1 or 2. In format 2 the Store's
  // store_key_* members hold its wrapped key, password_hash and
  // password_salt stay zero, and the members below hold its Argon2id
  // parameters and salt and the store's identifier (what each name is
  // bound to); in format 1 those stay zero.
  int format_version = 1;
  std::uint32_t kdf_memory_kib = 0;
  std::uint32_t kdf_passes = 0;
  std::uint32_t kdf_lanes = 0;
  unsigned char kdf_salt[16] = {};
  unsigned char store_id[16] = {};
  // The 132 header bytes the password was checked against when the store
  // opened (or that this Store sealed with it since: an upgrade's). The
  // members above follow whatever header a later file at the path has,
  // which nobody checked against the password; once the password is wiped,
  // only this header tells whether it still opens the file.
  unsigned char verified_header[132] = {};
};

}  // namespace kel::detail
