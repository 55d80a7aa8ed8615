// The removal backup set aside (kel/backup_aside.h).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "env/env.h"
#include "kel/backup_aside.h"
#include "kel/file_lock.h"
#include "engine/file/io.h"

namespace kel {

namespace {

constexpr int kMaxAside = 100;

std::string aside_name(const std::string& backup, int taken) {
  const std::string name = backup + ".before-import";
  return taken == 0 ? name : name + "." + std::to_string(taken);
}

constexpr int kCopyFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

}  // namespace

int set_backup_aside(const std::string& backup, std::string& aside, int& held,
                     std::string& error) {
  // Locked before it moves, so that nobody ever sees it unlocked under the
  // name it is set aside under.
  io::UniqueFd lock(io::open_file(backup.c_str(), kCopyFlags));
  std::string unlocked;  // a copy without the lock only looks left behind
  if (lock.valid()) take_file_lock(lock.get(), FileLockMode::shared, false, unlocked);
  detail::Env& env = detail::env();
  for (int taken = 0; taken < kMaxAside; ++taken) {
    const std::string name = aside_name(backup, taken);
    if (env.rename_no_replace(backup.c_str(), name.c_str()) == 0) {
      aside = name;
      held = lock.release();
      return 0;
    }
    if (errno == EEXIST) continue;
    // A file system without the flag: move only onto a name that is free.
    struct stat info {};
    if (errno == EINVAL && env.lstat(name.c_str(), &info) != 0 && errno == ENOENT &&
        env.rename(backup.c_str(), name.c_str()) == 0) {
      aside = name;
      held = lock.release();
      return 0;
    }
    if (errno == EINVAL) continue;
    break;
  }
  error = "Could not set the backup aside - " + io::error_text(errno);
  return -1;
}

int put_backup_back(const std::string& aside, const std::string& backup,
                    std::string& error) {
  if (detail::env().rename(aside.c_str(), backup.c_str()) != 0 ||
      io::sync_parent_directory(backup) != 0) {
    error = "Could not put the backup back - " + io::error_text(errno);
    return -1;
  }
  return 0;
}

int abandoned_backups(const std::string& backup, std::vector<std::string>& left,
                      std::string&) {
  // Every name is looked at: an operation that finished puts its copy back
  // and frees its name, while one killed after it left a copy under a later
  // name, which must still be found.
  for (int taken = 0; taken < kMaxAside; ++taken) {
    const std::string name = aside_name(backup, taken);
    struct stat info {};
    if (detail::env().lstat(name.c_str(), &info) != 0) continue;
    io::UniqueFd copy(io::open_file(name.c_str(), kCopyFlags));
    bool held = true;
    std::string untested;  // a copy that cannot be tested is not reported
    if (copy.valid() &&
        file_lock_conflicts(copy.get(), FileLockMode::exclusive, held, untested) == 0 &&
        !held) {
      left.push_back(name);
    }
  }
  return 0;
}

}  // namespace kel
