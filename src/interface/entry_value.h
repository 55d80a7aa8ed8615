// Handing a value buffer to a SafeEntry without copying it: for a value the
// library decrypted straight into memory the entry will own.
#pragma once

#include <cstddef>

#include "kel/safe_entry.h"

namespace kel::detail {

// The entry takes `data` (`length` bytes from new[]; null exactly when
// `length` is 0) as its value. The buffer it held before is overwritten
// (0x01, then 0x00) and released, once. Never throws.
void adopt_value(SafeEntry& entry, unsigned char* data, std::size_t length) noexcept;

}  // namespace kel::detail
