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

// Reads the password hash and salt (the first 72 bytes) of `fd`. A short
// file leaves the rest zero. Messages as the password checks'.
int read_hash_and_salt(int fd, unsigned char* hash, unsigned char* salt,
                       std::string& text);

}  // namespace kel::detail
