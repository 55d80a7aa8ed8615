// kel::SafeEntry: the data behind a kel::Entry. Holds a name and a value of
// raw bytes; the value buffer is overwritten (0x01, then 0x00) before it is
// released, whichever way the entry ends.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "kel/export.h"

namespace kel {

class KEL_SAFE_EXPORT SafeEntry {
 public:
  // Number of value bytes; 0 exactly when value_data is null.
  std::size_t value_length = 0;
  // The entry's name, byte for byte as given (checked only when stored).
  std::string name;
  // The value bytes (owned, new[]); null when the entry has no value.
  unsigned char* value_data = nullptr;

  SafeEntry();
  explicit SafeEntry(const std::string& name);
  SafeEntry(const std::string& name, const std::string& value);
  // A move hands over the value buffer and the name; the source is left
  // without a value and with an empty name. Moving into itself changes nothing.
  SafeEntry(SafeEntry&& other) noexcept;
  SafeEntry& operator=(SafeEntry&& other) noexcept;
  SafeEntry(const SafeEntry&) = delete;
  SafeEntry& operator=(const SafeEntry&) = delete;
  virtual ~SafeEntry();

  void set_name(const std::string& name);
  // Replace the value with a copy of the given bytes (zero bytes included).
  // The previous buffer is wiped and released first. An empty value leaves
  // the entry without a buffer.
  void set_value(const std::string& value);
  void set_value(const std::vector<unsigned char>& value);
  // A view of the value bytes; the empty view when there is no value.
  std::string_view value() const;
};

}  // namespace kel
