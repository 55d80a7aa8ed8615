// kel::Item: one entry of a store's in-memory index. It says where an item's
// encrypted value lies in the store file; it never holds a name or a value.
#pragma once

#include <cstdint>

#include "kel/export.h"

namespace kel {

class KEL_SAFE_EXPORT Item {
 public:
  // Length of the item's value in bytes (the record's value_length).
  std::uint32_t value_length = 0;
  // Absolute file offset of the item's value cipher (the record's value_offset).
  std::int64_t value_offset = 0;

  Item();
  Item(Item&& other) noexcept;
  Item& operator=(Item&& other) noexcept;
  Item(const Item&) = delete;
  Item& operator=(const Item&) = delete;
  virtual ~Item();
};

}  // namespace kel
