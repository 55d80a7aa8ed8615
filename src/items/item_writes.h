// Writing items beyond the plain add/remove: many at once, from a file with
// progress, and the rewrites (replace, rename, copy, remove many).
//
// Each rewrite changes the store in one rewrite of the file: under the
// write lock, a new file is written beside the store, synced, the old file
// kept as "<path>.backup2" (see removal_backup_path) and the new one
// renamed into place. Every reader, in this process or another, sees the
// store as it was before the call or as it is after it, never a state in
// between; a crash at any point leaves one of the two. Records that do not
// change are copied sealed; a new, replaced, renamed or copied record is
// sealed afresh with new nonces. On -1 the store is unchanged, except that
// a failure to sync the directory after the new file was put in place is
// reported too.
#pragma once

#include <string>
#include <vector>

#include "kel/add_outcome.h"
#include "kel/progress.h"
#include "kel/store.h"

namespace kel {
class SafeEntry;
}  // namespace kel

namespace kel::detail {

// See Safe::add_entries.
int add_items(Store& store, const std::vector<const SafeEntry*>& items, bool replace,
              std::vector<AddOutcome>& outcomes, std::string& error);
// Store::add_item_from_file, reporting its progress.
int add_item_from_file(Store& store, const std::string& name, std::string file_path,
                       std::string& error, const Progress& progress);
// Every entry of a batch checked before anything is sealed, so that the
// batch is refused whole rather than stored in part: a valid name and
// value length, and no name twice among them and `also_named`.
int check_batch(const std::vector<const SafeEntry*>& items, std::string& error,
                const std::vector<std::string>& also_named = {});

// See Safe::apply_changes.
int apply_changes(Store& store, const std::vector<const SafeEntry*>& put,
                  const std::vector<std::string>& remove, std::string& error);
// Removes every name in `names`, all or nothing: when one is absent,
// nothing is removed and the message names it ("Entry not found: NAME").
int remove_items(Store& store, const std::vector<std::string>& names, std::string& error);
// Replaces the value of `name` ("Entry not found" when it is absent, unless
// `add_if_absent`, which adds it then).
int replace_item(Store& store, const std::string& name, const unsigned char* value,
                 unsigned long length, bool add_if_absent, std::string& error);
// As replace_item, with the whole content of the file at `file_path` (read
// to its end, streamed: memory use does not grow with its size).
int replace_item_from_file(Store& store, const std::string& name,
                           const std::string& file_path, bool add_if_absent,
                           std::string& error);
// Gives the item `name` the name `new_name` ("Item exists" when that name
// is taken). The value must authenticate.
int rename_item(Store& store, const std::string& name, const std::string& new_name,
                std::string& error);
// Stores the value of `name` under `new_name` as well.
int copy_item(Store& store, const std::string& name, const std::string& new_name,
              std::string& error);
// The same, but with `replace` a value stored under `new_name` is replaced
// in the same rewrite (its record goes); `new_name` equal to `name` is
// still "Item exists".
int rename_item(Store& store, const std::string& name, const std::string& new_name,
                bool replace, std::string& error);
int copy_item(Store& store, const std::string& name, const std::string& new_name,
              bool replace, std::string& error);
// Where a removal or another rewrite keeps the previous store file: the
// store file (the end of its chain of links, when it is a symbolic link,
// since a rewrite replaces that file and leaves the link) + ".backup2".
std::string removal_backup_path(const Store& store);

}  // namespace kel::detail
