#include "kel/entry.h"

#include "kel/safe_entry.h"

namespace kel {

Entry::Entry() : holder(new SafeEntry()) {}

Entry::Entry(const std::string& name) : holder(new SafeEntry(name)) {}

Entry::Entry(const std::string& name, const std::string& value)
    : holder(new SafeEntry(name, value)) {}

Entry::Entry(Entry&& other) noexcept : holder(other.holder) {
  other.holder = nullptr;
}

Entry& Entry::operator=(Entry&& other) noexcept {
  if (this == &other) return *this;
  delete holder;
  holder = other.holder;
  other.holder = nullptr;
  return *this;
}

Entry::~Entry() { delete holder; }

// A moved-from entry has no holder; its setters give it a fresh one.
void Entry::set_name(const std::string& name) {
  if (holder == nullptr) holder = new SafeEntry();
  holder->set_name(name);
}

void Entry::set_value(const std::string& value) {
  if (holder == nullptr) holder = new SafeEntry();
  holder->set_value(value);
}

void Entry::set_value(const std::vector<unsigned char>& value) {
  if (holder == nullptr) holder = new SafeEntry();
  holder->set_value(value);
}

std::size_t Entry::length() const {
  return holder == nullptr ? 0 : holder->value_length;
}

std::string_view Entry::value() const {
  return holder == nullptr ? std::string_view() : holder->value();
}

const unsigned char* Entry::raw_value() const {
  return holder == nullptr ? nullptr : holder->value_data;
}

}  // namespace kel
