// Finding an item's value part in the store file, with its claimed length
// checked against the file before anything is read or allocated for it.
#pragma once

#include <cstdint>
#include <string>

#include "kel/store.h"

namespace kel::detail {

struct ValueLocation {
  std::int64_t offset = 0;  // of the value cipher
  std::uint32_t length = 0;
};

// Looks `name` up and checks that its value part lies inside the file.
// "Item not found", or "Could not decrypt value cipher" for a record that
// claims more than the file holds.
int locate_value(Store& store, const std::string& name, ValueLocation& where,
                 std::string& error);

}  // namespace kel::detail
