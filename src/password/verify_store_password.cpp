// Checking a password against the hash in a store file's header.
#include <errno.h>

#include "kel/store.h"
#include "store/file_names.h"
#include "store/format.h"
#include "store/header_reader.h"
#include "store/io.h"

namespace kel {

namespace {

// Hashes `password` with `salt` and compares with `stored`.
bool matches(Store& store, const std::string& password,
             const unsigned char* salt, const unsigned char* stored,
             std::string& error) {
  // The hash of nothing is no hash at all: the computed bytes would stay
  // zero and match a header of zeros. No store has an empty password.
  if (password.empty()) {
    error = "Invalid password";
    return false;
  }
  unsigned char computed[format::kHashSize] = {};
  if (store.store_hash(reinterpret_cast<const unsigned char*>(password.data()),
                       password.size(), salt, computed, error) != 0) {
    return false;
  }
  if (store.verify_hash(computed, format::kHashSize, stored, format::kHashSize)) {
    return true;
  }
  error = "Invalid password";
  return false;
}

}  // namespace

bool Store::verify_store_password(std::string& error) {
  unsigned char hash[format::kHashSize] = {};
  unsigned char salt[format::kSaltSize] = {};
  bool read_only_file = false;
  io::UniqueFd fd(io::open_store_file(file_path, read_only_file));
  if (!fd.valid()) {
    error = detail::open_failure("could not open: " + file_path + " - ",
                                 file_path, errno);
    return false;
  }
  if (detail::check_store_shape(fd.get(), file_path, error) != 0) return false;
  if (detail::read_hash_and_salt(fd.get(), hash, salt, error) != 0) return false;
  fd.reset();
  if (store_opened) {
    // The password was wiped when the store opened; what it proved then is
    // kept as the header's hash and salt. It still holds while the file
    // carries the same ones.
    if (verify_hash(hash, format::kHashSize, password_hash, format::kHashSize) &&
        verify_hash(salt, format::kSaltSize, password_salt, format::kSaltSize)) {
      return true;
    }
    error = "Invalid password";
    return false;
  }
  return matches(*this, password, salt, hash, error);
}

bool Store::verify_store_password(const std::string& name,
                                  const std::string& password,
                                  std::string& error) {
  const std::string path = detail::path_with_extension(name, file_extension);
  unsigned char hash[format::kHashSize] = {};
  unsigned char salt[format::kSaltSize] = {};
  bool read_only_file = false;
  io::UniqueFd fd(io::open_store_file(path, read_only_file));
  if (!fd.valid()) {
    error = detail::open_failure("could not open store: ", path, errno);
    return false;
  }
  if (detail::check_store_shape(fd.get(), path, error) != 0) return false;
  if (detail::read_hash_and_salt(fd.get(), hash, salt, error) != 0) return false;
  fd.reset();
  return matches(*this, password, salt, hash, error);
}

}  // namespace kel
