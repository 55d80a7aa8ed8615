// The identity or key file that opens a store: see key_source.h.
#include "key_source.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <kel/safe.h>
#include <kel/store_format.h>

#include "commands.h"
#include "status.h"
#include "streams.h"

namespace kel::tool {

bool opens_with_identity(const PasswordOptions& options) { return !options.identity.empty(); }

void use_key_source(kel::Safe& safe, const PasswordOptions& options, const std::string& what) {
  const bool identity = opens_with_identity(options);
  const std::string& path = identity ? options.identity : options.key_file;
  if (path.empty()) return;
  const char* const kind = identity ? "identity file " : "key file ";
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    throw Failure(kFileError, what + ": cannot read the " + kind + tool::quoted(path) + ": " +
                                  strerror(errno));
  }
  // Whoever reads an identity opens every store that granted it; a key
  // file is half of a key, and may well be a photo others may see.
  if (identity && !options.quiet && S_ISREG(info.st_mode) &&
      (info.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    note("warning: the identity file " + tool::quoted(path) +
         " is readable by other users, and opens the store without a password "
         "(chmod 600 it)");
  }
  std::string error;
  const int rc = identity ? safe.use_identity_file(path, error) : safe.use_key_file(path, error);
  if (rc == 0) return;
  switch (safe.status()) {
    case kel::Status::caller_file:
      throw Failure(kFileError,
                    what + ": cannot read the " + kind + tool::quoted(path) + " (" + error + ")");
    case kel::Status::invalid_argument:
      throw Failure(kRejected, what + ": " + tool::quoted(path) +
                                   (identity ? " holds no identity (kel-safe keygen makes one)"
                                             : " is empty: a key file holds at least one byte") +
                                   " (" + error + ")");
    default:
      library_failure(what, safe.status(), error, path);
  }
}

namespace {

// Whether the store at `path` is of a format without key slots (1 or 2).
bool without_slots(const std::string& path) {
  kel::Safe reader(path, "");
  reader.use_store_file(path);
  kel::FormatInfo info;
  std::string error;
  return reader.format_info(info, error) == 0 && info.version < 3;
}

}  // namespace

void open_failure(const std::string& what, kel::Status code, const std::string& error,
                  const std::string& store_path, const PasswordOptions& options) {
  const bool keyed = opens_with_identity(options) || !options.key_file.empty();
  // Formats 1 and 2 have one password and no slots: an identity or a key
  // file finds no slot there, which is no wrong key.
  if (keyed && (code == kel::Status::invalid_argument ||
                (code == kel::Status::wrong_password && without_slots(store_path)))) {
    throw Failure(kRejected, what + ": " + tool::quoted(store_path) +
                                 " has no key slots: --identity and --key-file open format 3 "
                                 "(kel-safe upgrade makes it) (" + error + ")");
  }
  if (code == kel::Status::wrong_password && opens_with_identity(options)) {
    throw Failure(kWrongPassword,
                  what + ": the identity " + tool::quoted(options.identity) +
                      " opens no key slot of " +
                      tool::quoted(store_path) +
                      ": it was not granted there, or it was revoked (" + error + ")");
  }
  library_failure(what, code, error, store_path, {},
                  opens_with_identity(options) ? "" : password_source(options));
}

}  // namespace kel::tool
