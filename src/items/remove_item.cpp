// Removing items. Records cannot be removed in place, so the store is
// rewritten without them (later records move up, their value_offset
// lowered), in one rewrite however many names go, with the old file kept as
// the removal backup.
#include <set>

#include "items/item_writes.h"
#include "items/rewrite_operation.h"
#include "kel/store.h"
#include "store/status_note.h"

namespace kel {

namespace {

const detail::RewriteMessages kRemoval{
    "Could not obtain file lock to remove entry: ",
    "Store file is damaged after the entry, could not delete entry"};

}  // namespace

int Store::remove_item(const std::string& name, std::string& error) {
  return detail::remove_items(*this, {name}, error);
}

int detail::remove_items(Store& store, const std::vector<std::string>& names, std::string& error) {
  try {
    if (names.empty()) {
      detail::fail(error, Status::invalid_argument, "No entry names given");
      return -1;
    }
    return detail::run_rewrite(
        store, kRemoval,
        [&](const unsigned char*, detail::RecordChanges& changes, std::string& text) {
          // All or nothing: every name must be there before anything goes.
          for (const std::string& name : names) {
            long long start = detail::find_record(store, name, text);
            if (start < 0) {
              if (names.size() > 1) text += ": " + name;
              return -1;
            }
            changes.changed[start] = nullptr;
          }
          return 0;
        },
        error);
  } catch (...) {
    detail::fail(error, Status::internal,
                 "Unknown exception, could not delete entry");
    return -1;
  }
}

}  // namespace kel
