// The key material of a store beyond the format-1 header fields the Store
// itself holds: whether a key is masked, and format 2's Argon2id
// parameters, salt, store identifier and the header the password was
// checked against.
#pragma once

#include <cstdint>
#include <vector>

namespace kel::detail {

struct Keyring {
  // True only while the Store's masked_store_key holds a successfully
  // masked key.
  bool store_key_masked = false;
  // The format of the header loaded last, 1, 2 or 3 (format 3 as 2, plus
  // the members at the end). In format 2 the Store's
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
  // Format 3 (format_version 3; store_id above too): the generation and
  // where the records start, of the header loaded last, and that whole
  // header. verified_v3 is the format-3 header the password opened (or
  // this Store wrote since); verified_header then holds its first 132
  // bytes (or fewer, zero-padded), enough to tell its format.
  unsigned char generation[16] = {};
  long long records_start = 132;
  std::vector<unsigned char> v3_header;
  std::vector<unsigned char> verified_v3;
  // Format 3: the public key of the slot this Store's key came through (or
  // of the slot it wrote for itself): while a header still holds that slot
  // with a MAC that holds under the key, the Store's credential still opens
  // it, whatever slots were added or dropped around it.
  unsigned char opened_public[32] = {};
};

}  // namespace kel::detail
