// Copies of a store file kept beside it, made so that nothing another user
// plants in a shared directory can redirect them: no existing name is ever
// opened for writing, and a symbolic link standing for the store is
// resolved once, so that the files made belong to the store it points to.
// Any rewrite of a store (a password change, a removal) can use these.
#pragma once

#include <sys/types.h>

#include <string>

namespace kel::detail {

// The file a store path stands for during one operation: `path` itself, or,
// when it is a symbolic link, the file the chain of links ends at (absolute).
// Files made beside the store (backups, temporaries) are named after the
// result, so they land beside the real file and the link stays a link.
// A path that cannot be resolved is returned unchanged.
std::string resolve_store_path(const std::string& path);

// Makes `backup_path` a durable copy of the first `size` bytes of the store
// file open at `store_fd` (the caller holds the write lock, so those bytes do
// not change meanwhile). The bytes go to a new file beside the backup,
// created exclusively without following links (mode 0600), which then gets
// the store's group where the caller may set it and the store's permission
// bits (less the group's when the group could not be kept), is synced, and
// is renamed over `backup_path`: a planted file or link there is replaced,
// never written through. The directory is synced too. `temporary_path` names
// the new file (see file_names.h). On failure -1, `error` is set to
// `prefix` followed by the reason, and no new file is left behind.
int write_backup_copy(int store_fd, off_t size, const std::string& backup_path,
                      const std::string& temporary_path, const std::string& prefix,
                      std::string& error);

}  // namespace kel::detail
