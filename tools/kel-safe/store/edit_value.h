// edit NAME: the value in the user's editor, as `pass edit` opens it, and
// stored again when, and only when, the text changed. The plain text lives
// only in a memory-backed folder of its own (plain_text_folder.h) and is
// overwritten and removed on every path, before the store is changed.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "commands.h"

namespace kel::tool {

// How edit reaches the value: in the store itself, or through the agent
// that serves it (the editor always runs in this process).
struct EditAccess {
  // The value of `name`, or nullopt when no entry has that name. Throws a
  // Failure when it cannot be read.
  std::function<std::optional<Secret>(const std::string& name)> read;
  // Stores `value` under `name` in one atomic rewrite: the replacement of
  // the value it had when `stored`, else a new entry. Says what changed
  // (unless quiet) and where the backup is. Throws a Failure.
  std::function<void(const std::string& name, const Secret& value, bool stored)> write;
};

// The store itself, its password asked when first needed (the session's
// store in a session). `drop_backup`: delete the backup of a change.
EditAccess store_access(const Context& context, bool drop_backup);

// Runs the editor on the value of `name` (empty when it is new) and stores
// what it left, when that differs. A line end the editor added at the end
// of a value that had none is dropped, as vi adds one to every file it
// writes. `allow_disk`: a folder that is not memory-backed will do.
// `access` is asked for nothing before the folder is known to be usable.
int cmd_edit(const Context& context, const std::string& name, bool allow_disk,
             const std::function<EditAccess()>& access);

}  // namespace kel::tool
