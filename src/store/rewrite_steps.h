// Steps of a store rewrite that only the engine takes (see rewrite.h).
#pragma once

#include <string>

#include "store/write_lock.h"

namespace kel::detail {

// Keeps the locked old file (`old_fd`, at lock.target()) as `backup`: a hard
// link renamed over any older backup, or a synced copy where links are
// impossible. 0, or -1 with errno set. The caller syncs the directory.
int keep_backup(const StoreWriteLock& lock, int old_fd, const std::string& backup,
                const std::string& extension);

// Deletes the files under construction that a rewrite of this store killed
// part-way left beside it. Every such file is made under the write lock we
// hold, so none of them belongs to a writer that is still at work.
void remove_stale_temporaries(const StoreWriteLock& lock, const std::string& extension);

}  // namespace kel::detail
