#include "env/env.h"
#include "engine/file/ownership.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "engine/file/io.h"
#include "store/status_note.h"

namespace kel::detail {

namespace {

// Read and write permission of one class (owner 6, group 3, others 0).
mode_t access_of(mode_t mode, int shift) { return (mode >> shift) & 06; }

// Whether the user `uid` belongs to the group `gid`, as their account says.
// Unknown users belong to no group.
bool is_member(uid_t uid, gid_t gid) {
  std::vector<char> text(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, text.data(), text.size(), &found) != 0 ||
      found == nullptr) {
    return false;
  }
  if (entry.pw_gid == gid) return true;
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  while (::getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) {
    if (groups.size() >= 65536) return false;
    groups.resize(static_cast<std::size_t>(count) > groups.size() * 2
                      ? static_cast<std::size_t>(count)
                      : groups.size() * 2);
    count = static_cast<int>(groups.size());
  }
  for (int i = 0; i < count; ++i) {
    if (groups[static_cast<std::size_t>(i)] == gid) return true;
  }
  return false;
}

}  // namespace

int keep_owner_and_mode(int fd, const struct stat& old, std::string& error) {
  const mode_t mode = old.st_mode & 0777;
  const std::string refused = "Refusing to rewrite the store: ";
  if (detail::env().fchown(fd, old.st_uid, old.st_gid) != 0) {
    if (errno != EPERM) {
      error = "Could not create tmp file - " + io::error_text(errno);
      return -1;
    }
    const bool group_kept = detail::env().fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0;
    struct stat now {};
    if (detail::env().fstat(fd, &now) != 0) {
      error = "Could not create tmp file - " + io::error_text(errno);
      return -1;
    }
    if (now.st_uid != old.st_uid) {
      // The old owner becomes one of the group, or one of everyone else.
      const int shift = is_member(old.st_uid, now.st_gid) ? 3 : 0;
      if ((access_of(mode, 6) & ~access_of(mode, shift)) != 0) {
        detail::fail(
            error, Status::permission,
            refused + "only its owner (user " + std::to_string(old.st_uid) +
                ") or root can rewrite it without locking its owner out");
        return -1;
      }
    }
    if (!group_kept && now.st_gid != old.st_gid &&
        (access_of(mode, 3) & ~access_of(mode, 0)) != 0) {
      detail::fail(
          error, Status::permission,
          refused + "its group (" + std::to_string(old.st_gid) +
              ") could not be kept, and its members would be locked out");
      return -1;
    }
  }
  if (detail::env().fchmod(fd, mode) != 0) {
    error = "Could not create tmp file - " + io::error_text(errno);
    return -1;
  }
  return 0;
}

}  // namespace kel::detail
