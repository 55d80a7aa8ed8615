// Testing for a name and listing all names, from an index that is refreshed
// first when the file changed.
#include <errno.h>

#include "kel/store.h"
#include "store/current_file.h"
#include "store/diagnostic.h"
#include "store/format.h"
#include "store/io.h"
#include "store/secret.h"

namespace kel {

bool Store::exists(const std::string& name) {
  // A store that cannot be opened or read holds no name we could vouch for.
  std::string text;
  return exists(name, text) == 1;
}

int Store::exists(const std::string& name, std::string& error) {
  try {
    if (!store_opened) {
      if (open_store(error) != 0) return -1;
    } else {
      if (detail::ensure_current_fd(*this) != 0) {
        error = "Could not open store: " + file_path + " - " +
                io::error_text(errno);
        return -1;
      }
      if (is_store_changed()) {
        detail::SecretBytes<format::kKeySize> key;
        if (get_store_key(key.data()) != 0) {
          error = "Could not get store key";
          return -1;
        }
        if (detail::refresh_index(*this, key.data(), error) != 0) {
          detail::diagnostic("Could not build index: " + error);
          return -1;
        }
      }
    }
    return index.count(name) != 0 ? 1 : 0;
  } catch (...) {
    error = "Unknown exception occurred, could not look up the entry";
    return -1;
  }
}

int Store::list_items(std::vector<std::string>& names, std::string& error) {
  try {
    if (detail::prepare_to_read(*this, error) != 0) return -1;
    names.reserve(names.size() + index.size());
    for (const auto& entry : index) names.push_back(entry.first);
    return 0;
  } catch (...) {
    error = "Unknown exception occurred, could not get store entries";
    return -1;
  }
}

int Store::list_item_lengths(
    std::vector<std::pair<std::string, std::uint64_t>>& items, std::string& error) {
  try {
    if (detail::prepare_to_read(*this, error) != 0) return -1;
    items.reserve(items.size() + index.size());
    for (const auto& entry : index) {
      items.emplace_back(entry.first, entry.second.value_length);
    }
    return 0;
  } catch (...) {
    error = "Unknown exception occurred, could not get store entries";
    return -1;
  }
}

}  // namespace kel
