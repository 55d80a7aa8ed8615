// What a record's seals are bound to besides the store key. Format 1 binds
// nothing: a value part moved to another record of the same store opens
// there, and a record copied from another store with the same key is read
// as one of this store's. Format 2 seals each name with the store's
// identifier as associated data and each value with its record's plain name.
// Format 3 binds each name also to the file's generation, to the record's
// place R (its offset from the end of the header) and to its value's tag:
// a record moved, reordered, brought from another generation of the file or
// given another record's value part no longer opens.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "kel/store.h"
#include "engine/records/format.h"

namespace kel::detail {

// The associated data of one name's seal: at most 56 bytes, held by value.
struct NameAd {
  unsigned char bytes[56] = {};
  std::size_t length = 0;
  std::string_view view() const {
    return {reinterpret_cast<const char*>(bytes), length};
  }
};

struct Binding {
  bool bound = false;  // formats 2 and 3
  int version = 1;
  unsigned char store_id[format::kStoreIdSize] = {};
  // Format 3: the generation, and where the records start (the header's
  // length); 132 for formats 1 and 2.
  unsigned char generation[16] = {};
  long long records_start = format::kHeaderSize;

  // Associated data of the seal of the name of the record at `start`, whose
  // value part carries the 16-byte `value_tag` (used by format 3 only).
  NameAd name_ad(long long start, const unsigned char* value_tag) const;
  // Whether names need their value's tag to open (format 3).
  bool needs_value_tag() const { return version == 3; }
  // Associated data of the seal of the value stored under `name`.
  std::string_view value_ad(std::string_view name) const {
    return bound ? name : std::string_view();
  }
  // Same format and store identifier: the same store key opens both files
  // (a rewrite of format 3 changes only the generation).
  bool operator==(const Binding& other) const;
  // Equal in every field, the generation and the records' start included.
  bool same_as(const Binding& other) const;
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

// The binding a format-3 header (at least its first 52 bytes) gives.
Binding binding_of_v3(const unsigned char* header);

}  // namespace kel::detail
