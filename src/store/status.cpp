// Status codes: their names, the thread's noted code, and errno mapped to a
// code.
#include "kel/status.h"

#include <cerrno>
#include <string>
#include <utility>

#include "store/status_note.h"

namespace kel {

const char* status_name(Status code) {
  switch (code) {
    case Status::ok:
      return "ok";
    case Status::not_found:
      return "not_found";
    case Status::store_not_found:
      return "store_not_found";
    case Status::exists:
      return "exists";
    case Status::wrong_password:
      return "wrong_password";
    case Status::not_a_store:
      return "not_a_store";
    case Status::damaged:
      return "damaged";
    case Status::no_space:
      return "no_space";
    case Status::permission:
      return "permission";
    case Status::invalid_argument:
      return "invalid_argument";
    case Status::too_big:
      return "too_big";
    case Status::changed:
      return "changed";
    case Status::io_error:
      return "io_error";
    case Status::caller_file:
      return "caller_file";
    case Status::internal:
      return "internal";
  }
  return "unknown";
}

namespace detail {

namespace {
thread_local Status noted = Status::ok;
}  // namespace

Status status_from_errno(int error_number) noexcept {
  switch (error_number) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:  // the file system's (or the process's) file size limit
      return Status::no_space;
    case EACCES:
    case EPERM:
    case EROFS:
      return Status::permission;
    // The files the library opens by path are the store file and those
    // beside it; a source file of the caller's is coded where it is opened.
    case ENOENT:
    case ENOTDIR:  // a part of the path is not a folder: no such file there
      return Status::store_not_found;
    case EEXIST:
      return Status::exists;
    case EISDIR:  // a folder where a file is wanted (a store is named so
                  // itself)
    case ENAMETOOLONG:
      return Status::invalid_argument;
    case ENOMEM:
      return Status::internal;
    default:
      return Status::io_error;
  }
}

void set_status(Status code) noexcept { noted = code; }

Status current_status() noexcept { return noted; }

int fail(std::string& error, Status code, std::string message) {
  error = std::move(message);
  noted = code;
  clear_write_step();
  return -1;
}

int fail_unexpected(std::string& error, const char* what) {
  return fail(error, Status::internal,
              std::string("Unknown exception, could not ") + what);
}

}  // namespace detail

}  // namespace kel
