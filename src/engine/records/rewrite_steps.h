// Steps of a store rewrite that only the engine takes (see rewrite.h).
#pragma once

#include <string>

#include "engine/file/write_lock.h"

namespace kel::detail {

// Keeps the locked old file (`old_fd`, at lock.target()) as `backup`: a hard
// link renamed over any older backup, or a synced copy where links are
// impossible. Either way the backup's name is synced to the directory
// before this returns. 0, or -1 with errno set.
int keep_backup(const StoreWriteLock& lock, int old_fd, const std::string& backup,
                const std::string& extension);

// Deletes the files under construction that a rewrite of this store (open
// as `store_fd`) killed part-way left beside it. Every such file is made
// under the write lock we hold, so none of them belongs to a writer that is
// still at work. Only what such a writer leaves is deleted: second names of
// the store or of `backup`, and regular files with one name that hold no
// record, start with the store's header, or whose first record was sealed
// under the store's `key`. Another store, or a file or link planted under
// such a name, stays.
void remove_stale_temporaries(const StoreWriteLock& lock, int store_fd,
                              const unsigned char* key, const std::string& backup,
                              const std::string& extension);

}  // namespace kel::detail
