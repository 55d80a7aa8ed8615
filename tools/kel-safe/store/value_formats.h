// The forms in which values leave the store and come back: one JSON object
// keyed by name, dotenv lines, and base64 for bytes that are not text. What
// export writes, import reads back byte for byte. Every buffer that holds a
// value is wiped before its memory is released; no error text holds a value.
#pragma once

#include <kel/entry.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "secret.h"

namespace kel::tool {

// An allocator that wipes memory before giving it back, for the containers
// a JSON document lives in.
template <typename T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    wipe(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  template <typename U>
  bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
};

// Entries on the way in, with their names (an Entry does not show its own).
struct NamedEntries {
  std::vector<std::string> names;
  std::vector<kel::Entry> entries;
  void add(const std::string& name, Secret& value);  // wipes `value`
  void clear() {
    names.clear();
    entries.clear();
  }
};

// A name and a view of its value, on the way out.
using NamedValue = std::pair<std::string_view, std::string_view>;

// A name usable as an environment variable: a letter or '_', then letters,
// digits and '_'.
bool valid_variable_name(std::string_view name);

// The JSON object {"name": value, ...} and a line end. A value that is valid
// UTF-8 is a JSON string, any other is {"base64": "..."}. Throws a Failure
// (kRejected) naming a name that is not valid UTF-8.
void write_json(const std::vector<NamedValue>& values, Secret& out);
// Reads such an object into entries, sorted by name. A name given twice is
// refused (a Failure of kRejected), as is base64 that is not strictly so.
void read_json(std::string_view input, NamedEntries& out);

// One dotenv line NAME='VALUE', which a shell sourcing it (set -a; . FILE),
// python-dotenv and Node's dotenv all read back byte for byte, line ends
// included, and of which a shell runs nothing. A value none of them can be
// sure to get back is refused (a Failure of kRejected naming `name`): one
// with a zero byte, a ', a carriage return, two backslashes in a row, a
// backslash at its end, ${...}, or bytes that are not UTF-8. So is a name
// that a shell keeps for itself (RANDOM, OPTIND, UID...).
void write_env_line(std::string_view name, std::string_view value, Secret& out);
// Reads dotenv lines (comments, blank lines and "export " allowed; values
// unquoted, single- or double-quoted as above) into entries.
void read_env(std::string_view input, NamedEntries& out);

}  // namespace kel::tool
