// The names of a store's files, as the library makes and uses them: the
// store file a name stands for, the file a linked store path leads to, and
// the backups kept beside it. Applications (the kel-safe tool among them)
// ask here instead of repeating the rules.
//
// Each call returns 0, or -1 with `error` set; on failure the output is left
// as it was.
#pragma once

#include <string>

#include "kel/export.h"

namespace kel {

// The store file a store name stands for: the name itself when it ends in
// ".safe", otherwise the name with ".safe" appended -- except that a copy
// kept beside a store under a name of its own ("notes.safe.backup2",
// "notes.safe.damaged-TIME": a last path component that holds ".safe.")
// is that file itself, when it is a regular file and no file of its name
// plus ".safe" exists. Fails with "Empty store name" for an empty name.
KEL_SAFE_EXPORT int store_file_path(const std::string& name, std::string& path,
                                    std::string& error);

// The file a store path leads to: the path itself, or, when it is a
// symbolic link, the end of its chain of links (a relative link read from
// the link's own directory; directories on the way are left as they are).
// This is the file a rewrite replaces, so a link stays a link, and beside
// which the backups are kept. Fails with "Empty store path".
KEL_SAFE_EXPORT int final_store_file(const std::string& path, std::string& file,
                                     std::string& error);

enum class StoreBackup {
  password_change,  // "<final store file>.backup1": the file before the change
  removal,          // "<final store file>.backup2": the file before a rewrite
};

// Where the library keeps the backup `which` of the store at `path`.
// Fails with "Empty store path".
KEL_SAFE_EXPORT int store_backup_path(const std::string& path, StoreBackup which,
                                      std::string& backup, std::string& error);

}  // namespace kel
