// Testing for a name and listing all names, from an index that is refreshed
// first when the file changed.
#include "items/item_reads.h"
#include "engine/engine.h"
#include "kel/store.h"
#include "engine/index/current_file.h"
#include "store/diagnostic.h"
#include "store/status_note.h"
#include "engine/index/unreadable_names.h"

namespace kel {

bool Store::exists(const std::string& name) {
  // A store that cannot be opened or read holds no name we could vouch for.
  std::string text;
  return detail::exists(*this, name, text) == 1;
}

int detail::exists(Store& store, const std::string& name, std::string& error) {
  try {
    // One name: the index need only reach that name's first record.
    if (detail::prepare_to_find(store, error) != 0) return -1;
    const Item* item = nullptr;
    const int found = detail::find_item(store, name, item, nullptr, error);
    // Damage that may hide the name is an answer ("cannot tell"), not a
    // failure to build the index.
    if (found < 0 && store.store_opened &&
        detail::current_status() != Status::damaged) {
      detail::diagnostic("Could not build index: " + error);
    }
    return found;
  } catch (...) {
    detail::fail_unexpected(error, "look up the entry");
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
    detail::fail(error, Status::internal,
                 "Unknown exception occurred, could not get store entries");
    return -1;
  }
}

int detail::damaged_regions(Store& store, std::vector<IntegrityReport::Region>& regions,
                           std::string& error) {
  try {
    if (detail::prepare_to_read(store, error) != 0) return -1;
    regions.clear();
    const std::vector<bool> unreadable = detail::unreadable_regions(store);
    for (std::size_t i = 0; i < store.engine->index.damaged.size(); ++i) {
      regions.push_back({store.engine->index.damaged[i].offset, store.engine->index.damaged[i].length,
                         unreadable[i] ? "no record can be read here; one may be missing"
                                       : "a damaged length, read around"});
    }
    return 0;
  } catch (...) {
    detail::fail(error, Status::internal,
                 "Unknown exception occurred, could not get store entries");
    return -1;
  }
}

int detail::list_item_lengths(Store& store, 
    std::vector<std::pair<std::string, std::uint64_t>>& items, std::string& error) {
  try {
    if (detail::prepare_to_read(store, error) != 0) return -1;
    items.reserve(items.size() + store.index.size());
    for (const auto& entry : store.index) {
      items.emplace_back(entry.first, entry.second.value_length);
    }
    return 0;
  } catch (...) {
    detail::fail(error, Status::internal,
                 "Unknown exception occurred, could not get store entries");
    return -1;
  }
}

}  // namespace kel
