// Renaming and copying an item. The value is opened and sealed again under
// the new name with fresh nonces, inside one rewrite of the store file: a
// rename is never an add followed by a removal, so readers find the item
// under the old name or under the new one, never under neither. Onto a name
// that is stored, with `replace`, the record of that name goes in the same
// rewrite: there is never a moment without a value under the new name.
#include "items/item_writes.h"
#include "engine/records/append.h"
#include "engine/records/record_writers.h"
#include "items/rewrite_operation.h"
#include "kel/store.h"
#include "store/status_note.h"

namespace kel {

namespace {

// The checks both operations make under the lock: `name` is stored and
// `new_name` is a valid name, free unless `replace` (never `name` itself).
// `target` receives the start of the record stored under `new_name`, or -1.
const Item* source_item(Store& store, const std::string& name,
                        const std::string& new_name, bool replace, long long& target,
                        std::string& error) {
  auto found = store.index.find(name);
  if (found == store.index.end()) {
    detail::fail(error, Status::not_found, "Entry not found");
    return nullptr;
  }
  target = -1;
  auto taken = store.index.find(new_name);
  if (taken != store.index.end()) {
    if (!replace || new_name == name) {
      detail::fail(error, Status::exists, "Item exists");
      return nullptr;
    }
    target = detail::record_start(new_name, taken->second);
  }
  if (detail::check_name_and_length(new_name, 1, error) != 0) return nullptr;
  return &found->second;
}

}  // namespace

int detail::rename_item(Store& store, const std::string& name, const std::string& new_name,
                       std::string& error) {
  return detail::rename_item(store, name, new_name, false, error);
}

int detail::rename_item(Store& store, const std::string& name, const std::string& new_name, bool replace,
                       std::string& error) {
  try {
    return detail::run_rewrite(
        store,
        {"Could not obtain file lock to rename entry: ",
         "Store file is damaged after the entry, could not rename entry"},
        [&](const unsigned char* key, detail::RecordChanges& changes, std::string& text) {
          long long target = -1;
          const Item* item = source_item(store, name, new_name, replace, target, text);
          if (item == nullptr) return -1;
          changes.changed[detail::record_start(name, *item)] =
              detail::resealing_writer(store, key, name, new_name, *item);
          if (target >= 0) changes.changed[target] = nullptr;  // left out
          return 0;
        },
        error);
  } catch (...) {
    detail::fail_unexpected(error, "rename entry");
    return -1;
  }
}

int detail::copy_item(Store& store, const std::string& name, const std::string& new_name,
                     std::string& error) {
  return detail::copy_item(store, name, new_name, false, error);
}

int detail::copy_item(Store& store, const std::string& name, const std::string& new_name, bool replace,
                     std::string& error) {
  try {
    return detail::run_rewrite(
        store,
        {"Could not obtain file lock to copy entry: ",
         "Store file is damaged after the entry, could not copy entry"},
        [&](const unsigned char* key, detail::RecordChanges& changes, std::string& text) {
          long long target = -1;
          const Item* item = source_item(store, name, new_name, replace, target, text);
          if (item == nullptr) return -1;
          auto writer = detail::resealing_writer(store, key, name, new_name, *item);
          // A copy over a stored name takes that record's place.
          if (target >= 0) {
            changes.changed[target] = std::move(writer);
          } else {
            changes.appended.push_back(std::move(writer));
          }
          return 0;
        },
        error);
  } catch (...) {
    detail::fail_unexpected(error, "copy entry");
    return -1;
  }
}

}  // namespace kel
