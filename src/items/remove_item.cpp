// Removing an item. Records cannot be removed in place, so the store is
// rewritten without the item's record (later records move up, their
// value_offset lowered) by the rewrite engine, which keeps the old file as
// the removal backup. The whole-file write lock is held from before the file
// is read until the new one is in place, so no append by another process can
// fall between the two.
#include "kel/store.h"
#include "store/current_file.h"
#include "store/format.h"
#include "store/rewrite.h"
#include "store/secret.h"
#include "store/write_lock.h"

namespace kel {

namespace {

const char* const kDamaged =
    "Store file is damaged after the entry, could not delete entry";

int remove_locked(Store& store, const unsigned char* key,
                  const detail::StoreWriteLock& lock, const std::string& name,
                  std::string& error) {
  if (detail::refresh_index(store, key, error) != 0 ||
      detail::cut_interrupted_append(store, error) != 0) {
    return -1;
  }
  auto found = store.index.find(name);
  if (found == store.index.end()) {
    error = "Entry not found";
    return -1;
  }
  detail::RecordChanges changes;
  changes.changed[detail::record_start(name, found->second)] = nullptr;
  detail::RewritePlan plan;
  std::string backup;
  if (detail::plan_changes(store, changes, kDamaged, plan, error) != 0) return -1;
  return detail::rewrite_store(store, lock, plan, backup, error);
}

}  // namespace

int Store::remove_item(const std::string& name, std::string& error) {
  try {
    if (open_store(error) != 0) return -1;
    detail::SecretBytes<format::kKeySize> key;
    if (get_store_key(key.data()) != 0) {
      error = "Could not get store key";
      return -1;
    }
    detail::StoreWriteLock lock(*this, "Could not obtain file lock to remove entry: ",
                                error);
    if (!lock.locked()) return -1;
    if (remove_locked(*this, key.data(), lock, name, error) != 0) return -1;
    // The new file is in place. This Store reads it afresh; the lock on the
    // old file goes with `lock`, and writers elsewhere waiting on it will
    // find the new file and move to it.
    std::string reload_error;
    if (reload_store_content(reload_error) != 0) {
      // The removal itself is done and durable; this Store finds its way
      // back to the file on its next operation.
      detail::clear_index(index);
      indexed_file.valid = false;
    }
    return 0;
  } catch (...) {
    error = "Unknown exception, could not delete entry";
    return -1;
  }
}

}  // namespace kel
