// Keeping the store's removal backup aside during a long operation. Every
// rewrite keeps the file it replaced as the removal backup, over the one
// before; an operation made of several rewrites (an import in batches) that
// wants to leave the store as it was before it began as that backup sets
// the first one aside under a name of its own and puts it back at the end.
//
// The names: "<backup>.before-import", then the same with ".1", ".2"... up
// to ".99" when taken. A copy set aside holds secrets, so it is never
// written over. While set aside it is held with a shared file lock (see
// kel/file_lock.h), which tells a running operation's copy from one left by
// a process that was killed.
//
// Each call returns 0, or -1 with `error` set and the system's reason given
// by last_system_error().
#pragma once

#include <string>
#include <vector>

#include "kel/export.h"

namespace kel {

// Locks `backup` and moves it to the first free aside name, never over an
// existing file. On success `aside` is that name and `held` a descriptor
// the caller owns: closing it drops the lock. Fails with "Could not set
// the backup aside - " and the system's reason.
KEL_SAFE_EXPORT int set_backup_aside(const std::string& backup, std::string& aside,
                                     int& held, std::string& error);

// Moves `aside` back to `backup` (over whatever is there now) and makes the
// move durable. Fails with "Could not put the backup back - " and the
// system's reason.
KEL_SAFE_EXPORT int put_backup_back(const std::string& aside, const std::string& backup,
                                    std::string& error);

// The aside names of `backup` in use by copies that no running operation
// holds, in the order of the names. Never fails today; the status is for
// what a later file system may report.
KEL_SAFE_EXPORT int abandoned_backups(const std::string& backup,
                                      std::vector<std::string>& left, std::string& error);

}  // namespace kel
