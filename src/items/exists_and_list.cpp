// Testing for a name and listing all names, from an index that is refreshed
// first when the file changed.
#include <iostream>

#include "kel/store.h"
#include "store/current_file.h"
#include "store/format.h"
#include "store/secret.h"

namespace kel {

bool Store::exists(const std::string& name) {
  // A store that cannot be opened or read holds no name we could vouch for.
  try {
    std::string text;
    if (!store_opened) {
      if (open_store(text) != 0) return false;
    } else {
      if (detail::ensure_current_fd(*this) != 0) return false;
      if (is_store_changed()) {
        detail::SecretBytes<format::kKeySize> key;
        if (get_store_key(key.data()) != 0) return false;
        if (detail::refresh_index(*this, key.data(), text) != 0) {
          std::cout << "Could not build index: " << text << std::endl;
          return false;
        }
      }
    }
    return index.count(name) != 0;
  } catch (...) {
    return false;
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

}  // namespace kel
