#include "system_failure.h"

#include <string.h>
#include <unistd.h>

#include <kel/diagnostics.h>

#include <cerrno>

namespace kel::tool {

namespace {

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
  kel::WriteStep step = kel::WriteStep::none;
  std::string doing;       // "cannot add to 'x.safe'"
  std::string where;       // the file or folder whose disk is full
  bool unchanged = false;  // the store file is untouched
};

// The step the library reports for the failure at hand. A failure met on a
// file of the caller's is not one of the store's steps, whatever the store
// was doing meanwhile.
Step step_of(kel::Status code, const std::string& store_path) {
  const std::string store = quoted(store_path);
  const std::string folder = quoted(folder_of(store_path));
  kel::WriteStep step = kel::WriteStep::none;
  std::string path;
  if (code == kel::Status::caller_file || kel::last_write_step(step, path) != 0) {
    step = kel::WriteStep::none;
  }
  switch (step) {
    // A rewrite writes a whole new file beside the store and renames it
    // into place only once it is complete and synced: any failure before
    // the rename leaves the store file as it was.
    case kel::WriteStep::new_copy:
      return {step, "cannot write the new copy of " + store + " in " + folder, folder, true};
    // An append that fails is cut off again before the call returns.
    case kel::WriteStep::append:
      return {step, "cannot add to " + store, folder, true};
    // The backup is made before anything is written to the store.
    case kel::WriteStep::backup:
      return {step, "cannot write the backup " + quoted(path), quoted(folder_of(path)), true};
    case kel::WriteStep::keep_backup:
      return {step, "cannot keep the backup of " + store, folder, true};
    // The new copy is complete; the old file is kept as the backup.
    case kel::WriteStep::put_in_place:
      return {step, "cannot put the new copy of " + store + " in place", folder, false};
    // The new file is in place, but a crash could still bring the old back.
    case kel::WriteStep::sync_folder:
      return {step, "cannot make the change to " + store + " last (its folder could not be synced)",
              folder, false};
    // A new store whose header could not be written is removed again.
    case kel::WriteStep::create:
      return {step, "cannot create " + store, folder, false};
    // No write command can begin without the lock: the words fit them all.
    case kel::WriteStep::lock:
      return {step, "cannot write " + store, folder, true};
    case kel::WriteStep::none:
      break;
  }
  return {step, "cannot use " + store, folder, false};
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

SystemFailure system_failure(kel::Status code, const std::string& store_path) {
  const int number = error_number_of(code);
  if (number == 0) return {};
  const Step step = step_of(code, store_path);
  const std::string unchanged = step.unchanged ? std::string(kStoreUnchanged) : "";
  const std::string full = no_room(number, step.where);
  // The call failed, yet the store did change: whatever the cause, the user
  // must not take it for a change that never happened, nor for one that
  // will last.
  if (step.step == kel::WriteStep::sync_folder) {
    return {kStoreError, step.doing + (full.empty() ? "" : ": " + full) +
                             "; the change is in place, but a crash may still undo it"};
  }
  if (!full.empty()) return {kStoreError, step.doing + ": " + full + unchanged};
  switch (number) {
    case ENOENT:
      if (step.step == kel::WriteStep::create) {
        return {kStoreError, "the folder " + step.where + " does not exist (mkdir it first)"};
      }
      break;
    case ENOTDIR:
      if (step.step == kel::WriteStep::create) {
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
