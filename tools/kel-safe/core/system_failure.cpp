#include "system_failure.h"

#include <string.h>
#include <unistd.h>

#include <kel/diagnostics.h>

#include <cerrno>

namespace kel::tool {

namespace {

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The error number behind a failure that reported `code`, or 0. Only the
// codes of a failed system call carry one; for them the library recorded
// the cause as it failed, whatever its text says.
int error_number_of(kel::Status code) {
  switch (code) {
    case kel::Status::no_space:
    case kel::Status::permission:
    case kel::Status::store_not_found:
    case kel::Status::io_error:
    case kel::Status::caller_file:
      break;
    default:
      return 0;
  }
  int number = 0;
  if (kel::last_system_error(number) != 0) return 0;
  return number;
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// What the failing call was doing, and whether the store is as it was.
struct Step {
  std::string doing;       // "cannot add to 'x.safe'"
  std::string where;       // the file or folder whose disk is full
  bool unchanged = false;  // the store file is untouched
};

Step step_of(std::string_view message, const std::string& store_path) {
  const std::string store = quoted(store_path);
  const std::string folder = quoted(folder_of(store_path));
  // A rewrite writes a whole new file beside the store and renames it into
  // place only once it is complete and synced: any failure before the
  // rename leaves the store file as it was.
  if (message == "Could not write lower part to tmp store" ||
      contains(message, "Could not write to tmp store") ||
      starts_with(message, "Could not create tmp file - ")) {
    return {"cannot write the new copy of " + store + " in " + folder, folder, true};
  }
  // An append that fails is cut off again before the call returns.
  if (starts_with(message, "Error, could not write to store - ")) {
    return {"cannot add to " + store, folder, true};
  }
  // The backup is made before anything is written to the store.
  constexpr std::string_view kPasswordBackup = "Could not copy store file to backup file ";
  if (starts_with(message, kPasswordBackup)) {
    const std::string_view rest = message.substr(kPasswordBackup.size());
    const std::string backup(rest.substr(0, rest.rfind(" - ")));
    return {"cannot write the backup " + quoted(backup), quoted(folder_of(backup)), true};
  }
  if (starts_with(message, "Could not backup current store file - ")) {
    return {"cannot keep the backup of " + store, folder, true};
  }
  // The new copy is complete; the old file is kept as the backup.
  if (starts_with(message, "Could not rename tmp file - ")) {
    return {"cannot put the new copy of " + store + " in place", folder, false};
  }
  // The new file is in place, but a crash could still bring the old back.
  if (starts_with(message, "Could not sync store directory - ")) {
    return {"cannot make the change to " + store + " last (its folder could not be synced)",
            folder, false};
  }
  // A new store whose header could not be written is removed again.
  if (starts_with(message, "could not create store - ") ||
      message == "Could not write to store file") {
    return {"cannot create " + store, folder, false};
  }
  if (starts_with(message, "Could not obtain file lock")) {
    return {"cannot write " + store, folder, true};
  }
  return {"cannot use " + store, folder, false};
}

// The words for a disk with no room left, "" for other error numbers.
// `where` is the folder written to, "" when not known.
std::string no_room(int number, const std::string& where) {
  const std::string disk = where.empty() ? "the disk" : "the disk that holds " + where;
  switch (number) {
    case ENOSPC:
      return disk + " is full";
    case EDQUOT:
      return disk + " is full for you (disk quota exceeded)";
    case EFBIG:
      return "the disk is full for this process (the file size limit, ulimit -f, is reached)";
    default:
      return "";
  }
}

}  // namespace

SystemFailure system_failure(kel::Status code, std::string_view message,
                             const std::string& store_path) {
  const int number = error_number_of(code);
  if (number == 0) return {};
  const Step step = step_of(message, store_path);
  const std::string unchanged = step.unchanged ? "; the store is unchanged" : "";
  const std::string full = no_room(number, step.where);
  if (!full.empty()) return {kStoreError, step.doing + ": " + full + unchanged};
  switch (number) {
    case ENOENT:
      if (starts_with(message, "could not create store - ")) {
        return {kStoreError, "the folder " + step.where + " does not exist (mkdir it first)"};
      }
      break;
    case ENOTDIR:
      if (starts_with(message, "could not create store - ")) {
        return {kStoreError, step.where + " is not a folder"};
      }
      break;
    case EROFS:
      return {kStoreError, step.doing + ": the file system is mounted read-only" + unchanged};
    case EBADF: {
      // A store the user may only read is opened read-only, and a write on
      // that descriptor fails so. A store that could be written yet whose
      // descriptor is bad was closed under the library: a fault of ours.
      const int denied = ::access(store_path.c_str(), W_OK) == 0 ? 0 : errno;
      if (denied == EROFS) {
        return {kStoreError, step.doing + ": the file system is mounted read-only" + unchanged};
      }
      if (denied != EACCES && denied != EPERM) {
        return {kInternal, "internal error: the descriptor of " + quoted(store_path) +
                               " was closed while in use" + unchanged +
                               "; please report this"};
      }
      [[fallthrough]];
    }
    case EACCES:
    case EPERM:
      return {kStoreError, step.doing +
                               ": permission denied; check the file's owner and mode, "
                               "and its folder's"};
    default:
      break;
  }
  return {};
}

SystemFailure file_failure(kel::Status code, const std::string& path) {
  const int number = error_number_of(code);
  if (number == 0) return {};
  const std::string where = path.empty() ? "standard output" : quoted(path);
  const std::string full = no_room(number, path.empty() ? "" : quoted(folder_of(path)));
  if (!full.empty()) return {kFileError, "cannot write " + where + ": " + full};
  return {};
}

}  // namespace kel::tool
