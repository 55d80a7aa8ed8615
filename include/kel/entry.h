// kel::Entry: one named secret as an application holds it, a name and a
// value of raw bytes. Move-only; the value is wiped before it is released.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "kel/export.h"

namespace kel {

class SafeEntry;

class KEL_SAFE_EXPORT Entry {
 public:
  Entry();
  explicit Entry(const std::string& name);
  Entry(const std::string& name, const std::string& value);
  // Moving hands over the data; the source keeps no data. A moved-from entry
  // is still safe to use: its accessors answer as for an empty entry and its
  // setters give it fresh data. Moving an entry into itself changes nothing.
  Entry(Entry&& other) noexcept;
  Entry& operator=(Entry&& other) noexcept;
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
  virtual ~Entry();

  void set_name(const std::string& name);
  void set_value(const std::string& value);
  void set_value(const std::vector<unsigned char>& value);
  // Number of value bytes (0 when there is no value).
  std::size_t length() const;
  // The value bytes; the empty view when there is no value.
  std::string_view value() const;
  // The value buffer itself; null when there is no value.
  const unsigned char* raw_value() const;

 private:
  friend class Safe;
  SafeEntry* holder;
};

}  // namespace kel
