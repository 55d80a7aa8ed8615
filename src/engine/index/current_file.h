// Keeping a Store on the file that is the store *now*. Other processes append
// to the file, rewrite its header, or replace it with a rewritten file (a
// removal); these helpers make sure a Store reads and writes the file that
// is at file_path, with an index that describes it.
#pragma once

#include <sys/stat.h>

#include <string>

#include "engine/engine.h"
#include "kel/store.h"

namespace kel::detail {

detail::FileIdentity identity_of(const struct stat& status);
bool same_identity(const detail::FileIdentity& a, const detail::FileIdentity& b);

// Whether store_fd is open on the file now at file_path (same device and inode).
bool store_fd_is_current(const Store& store);

// Points store_fd at the file now at file_path, reopening when the file was
// replaced or the descriptor was lost. -1 with errno set when it cannot.
int ensure_current_fd(Store& store);

// Takes the whole-file write lock on the file now at file_path, following a
// replacement until the locked descriptor is the current file. On failure
// `text` is `prefix` followed by the system's error text.
int lock_current_store(Store& store, const std::string& prefix,
                       std::string& text);
void unlock_store(const Store& store);

// lock_current_store for the scope that holds this object: released on
// every path out of it, an exception's included.
class CurrentStoreLock {
 public:
  CurrentStoreLock(Store& store, const std::string& prefix, std::string& text)
      : store_(store), held_(lock_current_store(store, prefix, text) == 0) {
    if (held_) ++store.engine->write_locks;
  }
  CurrentStoreLock(const CurrentStoreLock&) = delete;
  CurrentStoreLock& operator=(const CurrentStoreLock&) = delete;
  ~CurrentStoreLock() {
    if (held_) {
      --store_.engine->write_locks;
      unlock_store(store_);
    }
  }

  bool locked() const { return held_; }

 private:
  Store& store_;
  bool held_;
};

// Rebuilds the index when the file changed since it was built, or else
// completes a scan a lookup paused: on 0 the index holds every name. A
// rebuild runs into a fresh index that replaces the old one only when it
// completed, so names removed elsewhere disappear and no stale offset
// survives a failure. `key` is the plain store key (obtained by the caller).
int refresh_index(Store& store, const unsigned char* key, std::string& text);

// As refresh_index, unmasking the store key itself when there is work.
int refresh_index_if_changed(Store& store, std::string& text);

// What every reading operation does first: open the store on first use, or
// else follow the file at file_path and refresh the index if it changed;
// on 0 the index holds every name.
int prepare_to_read(Store& store, std::string& text);

// What a one-name lookup does first, instead of prepare_to_read: the store
// opened without reading its records, or followed to the file at
// file_path, with an index that find_item reads on as far as it needs
// (begun anew when the file changed).
int prepare_to_find(Store& store, std::string& text);

// Looks `name` up in the index, running a paused scan on until the name's
// first record is in the index or the scan completes. 1 with `item`
// pointing at its entry (valid until the index next changes) when it is
// stored, 0 when not, -1 with `text` when the file cannot be read or when
// damage could hide the name (engine/index/unreadable_names.h). `key` is
// the plain store key, or null to unmask it when needed.
int find_item(Store& store, const std::string& name, const Item*& item,
              const unsigned char* key, std::string& text);

// open_store for a lookup: the password checked and the key unwrapped, and
// an index scan begun that find_item runs on as far as it needs.
int open_store_for_lookup(Store& store, std::string& text);

// Records the file as it is now (through store_fd) as the one the index
// describes, after this Store itself changed it.
void remember_indexed_file(Store& store, long index_end);

// With the write lock held: settles what an append that never finished (its
// process died) left at the end of the file, so that the next record follows
// the last complete one. A torn record is cut off. A whole record that lacks
// only its first byte is completed instead: its body authenticates, so
// writing that byte loses nothing, while cutting it could destroy an entry
// whose first byte was damaged. The index is brought up to the file again
// under `key`.
int cut_interrupted_append(Store& store, const unsigned char* key, std::string& text);

}  // namespace kel::detail
