#include "kel/item.h"

namespace kel {

Item::Item() = default;

Item::Item(Item&& other) noexcept
    : value_length(other.value_length), value_offset(other.value_offset) {}

Item& Item::operator=(Item&& other) noexcept {
  value_length = other.value_length;
  value_offset = other.value_offset;
  return *this;
}

Item::~Item() {}

}  // namespace kel
