// Where the library's diagnostic lines go.
//
// A few failure and recovery paths describe what happened in one line of text
// beside the error text they return: a cipher step that failed (for instance
// "Cipher finalize error" when a value does not authenticate), the backup file
// a password change made ("backup file: PATH"), an index that could not be
// rebuilt. These lines never carry a password, a key or a value.
//
// By default each line goes to the process's standard error, followed by a
// line end. The library never writes to standard output, which belongs to
// the application and may carry its data.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "kel/export.h"

namespace kel {

// Receives one diagnostic line, without a line end. It may be called from
// any thread that uses a kel::Safe; exceptions it throws are swallowed.
using Diagnostics = std::function<void(std::string_view line)>;

// Sends every later diagnostic line of this process to `sink` and returns the
// sink that was in place, so that a caller can put it back. An empty function
// discards the lines. Safe to call while other threads use the library.
KEL_SAFE_EXPORT Diagnostics set_diagnostics(Diagnostics sink);

// The default sink: the line and a line end on standard error, in one write.
KEL_SAFE_EXPORT void diagnostics_to_stderr(std::string_view line);

// The error number (errno) of the system call behind the last failure the
// library reported on the calling thread, so that an application can word
// a full disk or a missing folder in its own terms. Some error texts carry
// no system text (a failed write of a rewrite's new file, for one); this
// call still knows the cause. Returns 0 with `error_number` set (never 0),
// or -1 when the last kel::Safe call on this thread met no failed system
// call: each Safe call starts with none, so a failure that has no system
// cause (a refusal, say) never borrows an earlier call's.
KEL_SAFE_EXPORT int last_system_error(int& error_number);

// The step of a change to the store during which a call failed, so that an
// application can tell its user what was left as it was without reading the
// error text. Each step says what became of the store file.
enum class WriteStep : int {
  none = 0,      // the failure was not one of a step below
  lock,          // taking the store's write lock: nothing was written
  create,        // making a new store file: none is left behind
  append,        // adding a record at the end: it is cut off again
  new_copy,      // building a rewrite's new copy beside the store (create,
                 // fill, sync): the copy is deleted, the store untouched
  backup,        // copying the store to a password change's backup, before
                 // its header is touched: the store is untouched
  keep_backup,   // keeping the old file as a rewrite's backup, before the
                 // new copy is named: the store is untouched
  put_in_place,  // renaming a rewrite's complete new copy over the store
  sync_folder,   // syncing the store's folder after that rename: the change
                 // is in place, but a crash may still bring the old file back
};

// The step during which the last failed call on the calling thread stopped,
// and the file that step concerned: the backup for backup and keep_backup
// (beside the file a linked store path points to), the store's path as the
// kel::Safe names it otherwise. Returns
// 0 with `step` and `path` set, or -1 when that call failed outside these
// steps or did not fail: every call on a kel::Safe starts with no step, and
// a later failure outside them clears it.
KEL_SAFE_EXPORT int last_write_step(WriteStep& step, std::string& path);

}  // namespace kel
