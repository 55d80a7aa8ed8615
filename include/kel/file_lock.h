// Whole-file locks for an application's own files, of the one kind the
// library takes on its store files: open-file-description record locks
// (fcntl F_OFD_SETLK). A lock belongs to the open file description that took
// it: it excludes every other description of the file, in this process too,
// and lasts until it is released or the last descriptor of that description
// is closed. The locks are advisory; they order only those who take them.
//
// (Store's lock_region and its wrappers are the other, older kind: process
// record locks, kept for applications that use them.)
#pragma once

#include <string>

#include "kel/export.h"

namespace kel {

enum class FileLockMode {
  shared,     // many holders at once; the descriptor must be open for reading
  exclusive,  // one holder; the descriptor must be open for writing
};

// Takes the lock on the whole file `fd` refers to. With `wait`, waits until
// it is free (a signal during the wait does not end it); without, fails at
// once with EAGAIN as the cause when another description holds a lock that
// conflicts. Returns 0, or -1 with `error` holding "Could not lock file - "
// and the system's reason, whose number last_system_error() gives.
KEL_SAFE_EXPORT int take_file_lock(int fd, FileLockMode mode, bool wait,
                                   std::string& error);

// Releases this description's lock on the file; succeeds when it held none.
// Returns 0, or -1 with `error` holding "Could not unlock file - " and the
// system's reason.
KEL_SAFE_EXPORT int release_file_lock(int fd, std::string& error);

// Sets `conflicts` to whether another open file description holds a lock
// that would keep a lock of `mode` on the whole file out, without taking
// one. Returns 0, or -1 with `error` holding "Could not test file lock - "
// and the system's reason.
KEL_SAFE_EXPORT int file_lock_conflicts(int fd, FileLockMode mode, bool& conflicts,
                                        std::string& error);

}  // namespace kel
