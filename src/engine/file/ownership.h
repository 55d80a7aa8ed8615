// Giving a rewritten store file the old file's owner, group and permission
// bits, and refusing a rewrite that would shut out people who can use the
// store now.
#pragma once

#include <sys/stat.h>

#include <string>

namespace kel::detail {

// Gives the new file `fd` (created by this process) the owner, group and
// permission bits of `old`. Only root (or the owner of a file) can hand a
// file to another user: when the owner cannot be kept, the group is kept
// (this process can only write the store through it, or through the bits
// for everyone), and the rewrite is refused when the old owner, or the old
// group's members, could not read and write the new file as they can the
// old one. -1 with the reason in `error`.
int keep_owner_and_mode(int fd, const struct stat& old, std::string& error);

}  // namespace kel::detail
