// What a record's seals are bound to besides the store key. Format 1 binds
// nothing: a value part moved to another record of the same store opens
// there, and a record copied from another store with the same key is read
// as one of this store's. Format 2 seals each name with the store's
// identifier as associated data and each value with its record's plain name.
#pragma once

#include <string>
#include <string_view>

#include "kel/store.h"
#include "engine/records/format.h"

namespace kel::detail {

struct Binding {
  bool bound = false;  // format 2
  unsigned char store_id[format::kStoreIdSize] = {};

  // Associated data of a name's seal.
  std::string_view name_ad() const {
    return bound ? std::string_view(reinterpret_cast<const char*>(store_id), sizeof store_id)
                 : std::string_view();
  }
  // Associated data of the seal of the value stored under `name`.
  std::string_view value_ad(std::string_view name) const {
    return bound ? name : std::string_view();
  }
  bool operator==(const Binding& other) const;
};

// The binding of the file whose header the Store holds.
Binding binding_of(const Store& store);

// The binding of the file open on `fd`, read from its header (the bytes
// that say it never change while the file exists: a password change keeps
// them). A file too short to tell is format 1. -1 with errno on a failed
// read.
int read_binding(int fd, Binding& binding);

// Whether the 132 header bytes at `header` begin a format-2 header.
bool is_version2_header(const unsigned char* header);

}  // namespace kel::detail
