// Adding, replacing and removing items together in one rewrite of the store
// file: what a merge of two stores needs, where entries that one side added
// or changed must land together with those the other side removed, or none
// of them. A removal followed by adds would leave readers (and a crash) a
// store that holds only half of the merge.
#include <string_view>

#include "engine/records/append.h"
#include "engine/records/record_writers.h"
#include "engine/records/rewrite.h"
#include "items/item_writes.h"
#include "items/rewrite_operation.h"
#include "kel/safe_entry.h"
#include "kel/store.h"
#include "store/status_note.h"

namespace kel {

namespace {

const detail::RewriteMessages kApply{
    "Could not obtain file lock to change entries: ",
    "Store file is damaged, could not change entries"};

}  // namespace

int detail::apply_changes(Store& store, const std::vector<const SafeEntry*>& put,
                          const std::vector<std::string>& remove, std::string& error) {
  try {
    // Everything is checked before anything is sealed: one invalid entry, a
    // name given twice, or a name both put and removed refuses the call.
    if (check_batch(put, error, remove) != 0) return -1;
    if (put.empty() && remove.empty()) return 0;
    return detail::run_rewrite(
        store, kApply,
        [&](const unsigned char* key, detail::RecordChanges& changes, std::string& text) {
          // All or nothing: every name to remove must be there, decided
          // under the lock, before anything is written.
          for (const std::string& name : remove) {
            const long long start = detail::find_record(store, name, text);
            if (start < 0) {
              text += ": " + name;
              return -1;
            }
            changes.changed[start] = nullptr;
          }
          for (const SafeEntry* item : put) {
            detail::RecordWriter writer = detail::value_writer(
                store, key, item->name, item->value_data, item->value_length);
            auto found = store.index.find(item->name);
            if (found == store.index.end()) {
              changes.appended.push_back(std::move(writer));
            } else {
              changes.changed[detail::record_start(item->name, found->second)] =
                  std::move(writer);
            }
          }
          return 0;
        },
        error);
  } catch (...) {
    detail::fail_unexpected(error, "change entries");
    return -1;
  }
}

}  // namespace kel
