// Adding many items at once: one rewrite of the store file under one lock,
// so the whole batch costs one sync and every reader finds all of it or none
// of it. Appending record after record would not do: an append is made
// durable by its first byte, written last, and a crash in the middle of a
// batch would leave some records readable and others not.
#include <string_view>
#include <unordered_set>

#include "items/item_writes.h"
#include "engine/records/append.h"
#include "engine/records/record_writers.h"
#include "items/rewrite_operation.h"
#include "kel/safe_entry.h"
#include "kel/store.h"
#include "engine/index/current_file.h"
#include "store/status_note.h"

namespace kel {

namespace {

const detail::RewriteMessages kAddMany{
    "Could not obtain file lock to add entries: ",
    "Store file is damaged, could not add entries"};

}  // namespace

int detail::check_batch(const std::vector<const SafeEntry*>& items, std::string& error,
                        const std::vector<std::string>& also_named) {
  std::unordered_set<std::string_view> seen;
  for (const SafeEntry* item : items) {
    if (item == nullptr) {  // an entry that was moved from
      detail::fail(error, Status::invalid_argument, "Invalid entry name");
      return -1;
    }
    if (detail::check_name_and_length(item->name, item->value_length, error) != 0) {
      error += ": " + item->name;
      return -1;
    }
    if (!seen.insert(item->name).second) {
      detail::fail(error, Status::invalid_argument,
                   "Entry given twice: " + item->name);
      return -1;
    }
  }
  for (const std::string& name : also_named) {
    if (!seen.insert(name).second) {
      detail::fail(error, Status::invalid_argument, "Entry given twice: " + name);
      return -1;
    }
  }
  return 0;
}


int detail::add_items(Store& store, const std::vector<const SafeEntry*>& items, bool replace,
                     std::vector<AddOutcome>& outcomes, std::string& error) {
  try {
    if (detail::check_batch(items, error) != 0) return -1;
    if (detail::prepare_to_read(store, error) != 0) return -1;
    // A first look without the lock: a batch whose names are all stored
    // already, with nothing to replace, writes nothing. The rewrite decides
    // again under the lock.
    bool work = false;
    for (const SafeEntry* item : items) {
      work = work || replace || store.index.count(item->name) == 0;
    }
    if (!work) {
      outcomes.assign(items.size(), AddOutcome::skipped);
      return 0;
    }
    std::vector<AddOutcome> decided;
    int rc = detail::run_rewrite(
        store, kAddMany,
        [&](const unsigned char* key, detail::RecordChanges& changes, std::string&) {
          decided.assign(items.size(), AddOutcome::skipped);
          for (std::size_t i = 0; i < items.size(); ++i) {
            const SafeEntry& item = *items[i];
            auto writer = [&] {
              return detail::value_writer(store, key, item.name, item.value_data,
                                          item.value_length);
            };
            auto found = store.index.find(item.name);
            if (found == store.index.end()) {
              changes.appended.push_back(writer());
              decided[i] = AddOutcome::added;
            } else if (replace) {
              changes.changed[detail::record_start(item.name, found->second)] = writer();
              decided[i] = AddOutcome::replaced;
            }
          }
          return 0;
        },
        error);
    if (rc != 0) return -1;
    outcomes = std::move(decided);
    return 0;
  } catch (...) {
    detail::fail_unexpected(error, "add entries");
    return -1;
  }
}

}  // namespace kel
