// Reading the header's fields consistently: under a shared lock on the whole
// file, so that a password change in progress elsewhere (which rewrites the
// header in place under the write lock) is never seen half written.
#pragma once

#include <string>

#include "kel/store.h"

namespace kel::detail {

// Holds a shared whole-file lock on a descriptor for its lifetime.
class SharedFileLock {
 public:
  explicit SharedFileLock(int fd);
  ~SharedFileLock();
  SharedFileLock(const SharedFileLock&) = delete;
  SharedFileLock& operator=(const SharedFileLock&) = delete;

 private:
  int fd_;
  bool locked_;
};

// Reads the five header fields of `fd` from offset 0 into the Store's header
// members, leaving the descriptor at offset 132. Messages as load_header's.
// The caller holds a lock on the file (shared, or the write lock).
int read_header_fields(Store& store, int fd, std::string& text);

// Whether the file open on `fd` (found at `path`) can be a store at all: a
// regular file of at least 132 bytes. Otherwise -1, and `text` names it as
// not a kel-safe store, so that it is not taken for a wrong password.
int check_store_shape(int fd, const std::string& path, std::string& text);

// The message for a store file that could not be opened: a directory is
// named as not a store, anything else as `prefix` + the system's error text.
std::string open_failure(const std::string& prefix, const std::string& path,
                         int error_number);

// Reads the password hash and salt (the first 72 bytes) of `fd`. A short
// file leaves the rest zero. Messages as the password checks'.
int read_hash_and_salt(int fd, unsigned char* hash, unsigned char* salt,
                       std::string& text);

}  // namespace kel::detail
