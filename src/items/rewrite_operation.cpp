#include <cstring>

#include "crypto/store_key.h"
#include "items/item_writes.h"
#include "items/rewrite_operation.h"

#include "engine/engine.h"
#include "engine/keyring/header_v3.h"
#include "engine/index/current_file.h"
#include "engine/file/file_names.h"
#include "engine/records/format.h"
#include "store/secret.h"
#include "store/status_note.h"
#include "engine/file/write_lock.h"

namespace kel::detail {

long long find_record(const Store& store, const std::string& name,
                      std::string& error) {
  auto found = store.index.find(name);
  if (found == store.index.end()) {
    detail::fail(error, Status::not_found, "Entry not found");
    return -1;
  }
  return record_start(name, found->second);
}

namespace {

// A rewrite walks the records it moves by their lengths, which damage makes
// untrustworthy: a damaged store is rewritten only by repair, which walks by
// authenticated records.
int refuse_damaged(const Store& store, const std::string& prefix, std::string& error) {
  if (store.engine->index.damaged.empty()) return 0;
  detail::fail(error, Status::damaged,
               prefix + ": the store is damaged at offset " +
                   std::to_string(store.engine->index.damaged.front().offset) +
                   "; repair it first");
  return -1;
}

}  // namespace

int run_rewrite(Store& store, const RewriteMessages& messages,
                const ChangeBuilder& build, std::string& error,
                std::string* backup) {
  if (store.open_store(error) != 0) return -1;
  SecretBytes<format::kKeySize> key;
  if (detail::get_store_key(store, key.data()) != 0) {
    detail::fail(error, Status::internal, "Could not get store key");
    return -1;
  }
  RewriteOutcome outcome;
  int rc = -1;
  {
    StoreWriteLock lock(store, messages.lock, error);
    if (!lock.locked()) return -1;
    RecordChanges changes;
    RewritePlan plan;
    if (refresh_index(store, key.data(), error) != 0 ||
        cut_interrupted_append(store, key.data(), error) != 0 ||
        refuse_damaged(store, messages.damaged, error) != 0 ||
        build(key.data(), changes, error) != 0 ||
        plan_changes(store, changes, messages.damaged, plan, error) != 0) {
      return -1;
    }
    rc = rewrite_store(store, lock, key.data(), plan, outcome, error);
    if (!outcome.replaced) return -1;
    // The new file is sealed under a new key: from now on this Store holds
    // that one, and the header that wraps it is the one its password opens.
    if (changes.new_key != nullptr) {
      set_store_key(store, changes.new_key);
      if (is_version3_header(changes.header.data())) {
        verify_v3_header(store, changes.header);
      } else {
        store.engine->keys.verified_v3.clear();
        std::memcpy(store.engine->keys.verified_header, changes.header.data(),
                    format::kHeaderSize);
      }
    } else if (!changes.header.empty() && is_version3_header(changes.header.data())) {
      // A new header under the same key (a slot granted): the one this
      // Store's key now opens, through the slot it opened before.
      verify_v3_header(store, changes.header);
    }
    // The new file is in place. This Store reads it afresh while the lock
    // on the old file is still held; writers elsewhere waiting on that lock
    // will find the new file and move to it.
    // A failed reload is not the call's failure: it keeps the code and step
    // of the rewrite's own, a folder that could not be synced.
    KeepStatus keep_cause;
    std::string reload_error;
    if (store.reload_store_content(reload_error) != 0) {
      // The change itself is done and durable; this Store finds its way
      // back to the file on its next operation.
      clear_index(store.index);
      store.engine->index.indexed_file.valid = false;
    }
  }
  if (backup != nullptr) *backup = outcome.backup;
  return rc;
}

}  // namespace kel::detail

namespace kel {

std::string detail::removal_backup_path(const Store& store) {
  return detail::resolve_final_links(store.file_path) + detail::kRemovalBackup;
}

}  // namespace kel
