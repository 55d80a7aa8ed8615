// Renaming and copying an item. The value is opened and sealed again under
// the new name with fresh nonces, inside one rewrite of the store file: a
// rename is never an add followed by a removal, so readers find the item
// under the old name or under the new one, never under neither.
#include "items/append.h"
#include "items/record_writers.h"
#include "items/rewrite_operation.h"
#include "kel/store.h"

namespace kel {

namespace {

// The checks both operations make under the lock: `name` is stored and
// `new_name` is a free, valid name.
const Item* source_item(Store& store, const std::string& name,
                        const std::string& new_name, std::string& error) {
  auto found = store.index.find(name);
  if (found == store.index.end()) {
    error = "Entry not found";
    return nullptr;
  }
  if (store.index.count(new_name) != 0) {
    error = "Item exists";
    return nullptr;
  }
  if (detail::check_name_and_length(new_name, 1, error) != 0) return nullptr;
  return &found->second;
}

}  // namespace

int Store::rename_item(const std::string& name, const std::string& new_name,
                       std::string& error) {
  try {
    return detail::run_rewrite(
        *this,
        {"Could not obtain file lock to rename entry: ",
         "Store file is damaged after the entry, could not rename entry"},
        [&](const unsigned char* key, detail::RecordChanges& changes, std::string& text) {
          const Item* item = source_item(*this, name, new_name, text);
          if (item == nullptr) return -1;
          changes.changed[detail::record_start(name, *item)] =
              detail::resealing_writer(*this, key, name, new_name, *item);
          return 0;
        },
        error);
  } catch (...) {
    error = "Unknown exception, could not rename entry";
    return -1;
  }
}

int Store::copy_item(const std::string& name, const std::string& new_name,
                     std::string& error) {
  try {
    return detail::run_rewrite(
        *this,
        {"Could not obtain file lock to copy entry: ",
         "Store file is damaged after the entry, could not copy entry"},
        [&](const unsigned char* key, detail::RecordChanges& changes, std::string& text) {
          const Item* item = source_item(*this, name, new_name, text);
          if (item == nullptr) return -1;
          changes.appended.push_back(
              detail::resealing_writer(*this, key, name, new_name, *item));
          return 0;
        },
        error);
  } catch (...) {
    error = "Unknown exception, could not copy entry";
    return -1;
  }
}

}  // namespace kel
