// Finding an item's value part in the store file, with its claimed length
// checked against the file before anything is read or allocated for it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kel/safe_entry.h"
#include "kel/store.h"

namespace kel::detail {

struct ValueLocation {
  std::int64_t offset = 0;  // of the value cipher
  std::uint32_t length = 0;
  // The associated data of the value's seal (its name in format 2, none in
  // format 1); views the name given to locate_value.
  std::string_view ad;
};

// Looks `name` up (reading a paused index scan on as far as needed, under
// the plain store `key`) and checks that its value part lies inside the
// file. "Item not found", or "Could not decrypt value cipher" for a record
// that claims more than the file holds.
int locate_value(Store& store, const std::string& name, ValueLocation& where,
                 const unsigned char* key, std::string& error);

// Reads the value of `entry.name` into a buffer of its own that becomes the
// entry's value (the buffer it replaces is wiped once) only when the whole
// value authenticated: on -1 the entry is as it was, and no plain byte of
// the failed read is left in memory. Up to 64 MiB the value is read and
// decrypted in one pass; a larger one is authenticated in a pass of its own
// first, and then goes straight into the entry's buffer when that has its
// length; should the file change between the passes, the entry is then
// left without a value. Messages as Store::get_item's.
int get_item_into(Store& store, SafeEntry& entry, std::string& error);

}  // namespace kel::detail
