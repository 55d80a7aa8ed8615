#include <algorithm>
#include <cstring>

#include "interface/entry_value.h"
#include "kel/safe_entry.h"
#include "store/secret.h"

namespace kel {

namespace {

// Overwrites a value buffer with 0x01 and then 0x00 before releasing it. A
// large buffer is overwritten a block at a time, with both bytes in turn, so
// that the zeros find the block still in the processor's cache: every byte
// holds 0x01 before it holds 0x00, and memory is crossed once, not twice.
void dispose(unsigned char*& data, std::size_t length) {
  constexpr std::size_t kBlock = 64 * 1024;
  if (data != nullptr && length != 0) {
    for (std::size_t done = 0; done < length; done += kBlock) {
      const std::size_t size = std::min(kBlock, length - done);
      detail::wipe(data + done, size, 0x01);  // 0x01 bytes, then zeros; kept
    }
    delete[] data;
  }
  data = nullptr;
}

// Replaces the entry's value by a copy of `size` bytes at `bytes`.
void replace_value(SafeEntry& entry, const void* bytes, std::size_t size) {
  dispose(entry.value_data, entry.value_length);
  entry.value_length = 0;
  if (size == 0) return;
  entry.value_data = new unsigned char[size];
  std::memcpy(entry.value_data, bytes, size);
  entry.value_length = size;
}

}  // namespace

namespace detail {

void adopt_value(SafeEntry& entry, unsigned char* data, std::size_t length) noexcept {
  dispose(entry.value_data, entry.value_length);
  entry.value_data = length != 0 ? data : nullptr;
  entry.value_length = entry.value_data != nullptr ? length : 0;
}

}  // namespace detail

SafeEntry::SafeEntry() = default;

SafeEntry::SafeEntry(const std::string& name) : name(name) {}

SafeEntry::SafeEntry(const std::string& name, const std::string& value)
    : name(name) {
  set_value(value);
}

SafeEntry::SafeEntry(SafeEntry&& other) noexcept
    : value_length(other.value_length),
      name(std::move(other.name)),
      value_data(other.value_data) {
  other.value_data = nullptr;
  other.value_length = 0;
  other.name.clear();
}

SafeEntry& SafeEntry::operator=(SafeEntry&& other) noexcept {
  if (this == &other) return *this;
  dispose(value_data, value_length);
  value_length = other.value_length;
  value_data = other.value_data;
  name = std::move(other.name);
  other.value_data = nullptr;
  other.value_length = 0;
  other.name.clear();
  return *this;
}

SafeEntry::~SafeEntry() {
  dispose(value_data, value_length);
  detail::wipe(name.data(), name.size());
}

void SafeEntry::set_name(const std::string& new_name) { name = new_name; }

void SafeEntry::set_value(const std::string& value) {
  replace_value(*this, value.data(), value.size());
}

void SafeEntry::set_value(const std::vector<unsigned char>& value) {
  replace_value(*this, value.data(), value.size());
}

std::string_view SafeEntry::value() const {
  if (value_data == nullptr || value_length == 0) return {};
  return {reinterpret_cast<const char*>(value_data), value_length};
}

}  // namespace kel
