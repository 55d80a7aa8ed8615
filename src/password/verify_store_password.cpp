// Checking a password against the hash in a store file's header.
#include <errno.h>

#include <optional>

#include "crypto/primitives.h"
#include "engine/engine.h"
#include "kel/store.h"
#include "engine/file/file_names.h"
#include "engine/records/format.h"
#include "engine/keyring/binding.h"
#include "engine/keyring/header_reader.h"
#include "engine/keyring/header_v2.h"
#include "engine/keyring/header_v3.h"
#include "engine/file/io.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel {

namespace {

// Hashes `password` with `salt` and compares with `stored`.
bool matches(const std::string& password,
             const unsigned char* salt, const unsigned char* stored,
             std::string& error) {
  // The hash of nothing is no hash at all: the computed bytes would stay
  // zero and match a header of zeros. No store has an empty password.
  if (password.empty()) {
    detail::fail(error, Status::wrong_password, "Invalid password");
    return false;
  }
  unsigned char computed[format::kHashSize] = {};
  if (detail::store_hash(reinterpret_cast<const unsigned char*>(password.data()),
                       password.size(), salt, computed, error) != 0) {
    return false;
  }
  if (detail::verify_hash(computed, format::kHashSize, stored, format::kHashSize)) {
    return true;
  }
  detail::fail(error, Status::wrong_password, "Invalid password");
  return false;
}

// Format 2 has no hash to compare: the check is the unwrapping of the key.
// The answer for a format-2 header (failed, with the message, for a version
// this library does not read); none for a format-1 file, which is checked
// as it always was. The header is read under the shared lock only when
// `locked`; mismatch when this Store's open header no longer matches the
// bytes read, which may have been caught half rewritten.
std::optional<detail::HeaderCheck> check_version2(Store& store, int fd,
                                                  const std::string& path,
                                                  const std::string& password,
                                                  std::string& error, bool locked) {
  using detail::HeaderCheck;
  unsigned char header[format::kHeaderSize];
  if (detail::read_header_bytes(fd, header, locked) != 0) return std::nullopt;
  if (detail::is_version3_header(header)) {
    std::vector<unsigned char> whole;
    if (detail::read_v3_header(fd, whole, locked, error) != 0) return HeaderCheck::failed;
    if (&password == &store.password) {
      if (store.store_opened) {
        return detail::still_version3_header(store, whole, error) ? HeaderCheck::match
                                                                  : HeaderCheck::mismatch;
      }
      return store.open_store(error) == 0 ? HeaderCheck::match : HeaderCheck::failed;
    }
    detail::SecretBytes<format::kKeySize> key;
    return detail::open_v3_header(whole, password, store.engine->kdf_threads, key.data(),
                                  error) == 0
               ? HeaderCheck::match
               : HeaderCheck::failed;
  }
  if (!detail::is_version2_header(header)) {
    const std::string unknown = detail::unknown_version(header, path);
    if (unknown.empty()) return std::nullopt;
    detail::fail(error, Status::not_a_store, unknown);
    return HeaderCheck::failed;
  }
  if (&password == &store.password) {
    // A derivation costs a noticeable fraction of a second: checking this
    // Store's own password opens the store with it, so that the operation
    // that follows need not derive again.
    if (store.store_opened) {
      return detail::still_version2_header(store, header, error) ? HeaderCheck::match
                                                                : HeaderCheck::mismatch;
    }
    return store.open_store(error) == 0 ? HeaderCheck::match : HeaderCheck::failed;
  }
  detail::SecretBytes<format::kKeySize> key;
  return detail::open_v2_header(header, password, store.engine->kdf_threads, key.data(), error) == 0
             ? HeaderCheck::match
             : HeaderCheck::failed;
}

}  // namespace

namespace detail {

HeaderCheck check_password(Store& store, bool locked, std::string& error,
                           bool open_version2) {
  unsigned char hash[format::kHashSize] = {};
  unsigned char salt[format::kSaltSize] = {};
  bool read_only_file = false;
  const std::string& path = store.file_path;
  io::UniqueFd fd(io::open_store_file(path, read_only_file));
  if (!fd.valid()) {
    error = open_failure("could not open: " + path + " - ", path, errno);
    return HeaderCheck::failed;
  }
  if (check_store_shape(fd.get(), path, error) != 0) return HeaderCheck::failed;
  if (!open_version2 && !store.store_opened) {
    unsigned char header[format::kHeaderSize];
    if (read_header_bytes(fd.get(), header, locked) == 0 &&
        (is_version2_header(header) || is_version3_header(header))) {
      return HeaderCheck::replaced;
    }
  }
  if (const auto answer = check_version2(store, fd.get(), path, store.password, error, locked)) {
    return *answer;
  }
  if (read_hash_and_salt(fd.get(), hash, salt, error, locked) != 0) {
    return HeaderCheck::failed;
  }
  fd.reset();
  if (store.store_opened) {
    // The password was wiped when the store opened; what it proved then is
    // kept as the header it was checked against. It still holds while the
    // file carries the same hash and salt.
    const unsigned char* verified = store.engine->keys.verified_header;
    if (is_version2_header(verified) || is_version3_header(verified)) {
      detail::fail(error, Status::changed, kFormatChangedSinceOpen);
      return HeaderCheck::failed;
    }
    if (detail::verify_hash(hash, format::kHashSize, verified + format::kHashOffset,
                          format::kHashSize) &&
        detail::verify_hash(salt, format::kSaltSize, verified + format::kSaltOffset,
                          format::kSaltSize)) {
      return HeaderCheck::match;
    }
    detail::fail(error, Status::wrong_password, "Invalid password");
    return HeaderCheck::mismatch;
  }
  if (store.password.empty()) {
    detail::fail(error, Status::wrong_password, "Invalid password");
    return HeaderCheck::failed;
  }
  std::string hash_error;
  if (matches(store.password, salt, hash, hash_error)) return HeaderCheck::match;
  error = hash_error;
  return current_status() == Status::wrong_password ? HeaderCheck::mismatch
                                                    : HeaderCheck::failed;
}

}  // namespace detail

bool Store::verify_store_password(std::string& error) {
  // Read without a lock first: a header caught half rewritten by a password
  // change does not match, and the next attempt reads it whole.
  // A mismatch is final at once when the header read the same before and
  // after the attempt that found it.
  detail::HeaderWatch watch(file_path);
  for (int attempt = 1;; ++attempt) {
    const bool locked = attempt == detail::kHeaderAttempts;
    switch (detail::check_password(*this, locked, error)) {
      case detail::HeaderCheck::match:
        return true;
      case detail::HeaderCheck::failed:
        return false;
      case detail::HeaderCheck::mismatch:
        if (locked || watch.steady()) return false;
        break;
      case detail::HeaderCheck::replaced:  // (only when asked for)
        if (locked) return false;
        break;
    }
  }
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
  if (const auto answer = check_version2(*this, fd.get(), path, password, error, true)) {
    return *answer == detail::HeaderCheck::match;
  }
  if (detail::read_hash_and_salt(fd.get(), hash, salt, error) != 0) return false;
  fd.reset();
  return matches(password, salt, hash, error);
}

}  // namespace kel
