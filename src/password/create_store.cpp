// Creating a new, empty store file: a fresh salt and store key, the key
// wrapped under the password, and the 132-byte header.
#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include "kel/store.h"
#include "store/format.h"
#include "store/io.h"
#include "store/secret.h"

namespace kel {

namespace {

using detail::SecretBytes;

// Draws the key material, wraps the key and fills `header`. The store key is
// left masked in the Store.
int make_header(Store& store, unsigned char* header, std::string& text) {
  unsigned char* hash = header + format::kHashOffset;
  unsigned char* salt = header + format::kSaltOffset;
  unsigned char* nonce = header + format::kKeyNonceOffset;
  unsigned char* tag = header + format::kKeyTagOffset;
  if (store.gen_random(salt, format::kSaltSize, text) != 0) {
    text = "Could not generate store salt random";
    return -1;
  }
  if (store.store_hash(reinterpret_cast<const unsigned char*>(store.password.data()),
                       store.password.size(), salt, hash, text) != 0) {
    return -1;
  }
  SecretBytes<format::kKeySize> seed;
  SecretBytes<format::kKeySize> key;
  if (store.gen_random(seed.data(), format::kKeySize, text) != 0) {
    text = "Could not generate random key";
    return -1;
  }
  if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(seed.data()),
                        format::kKeySize, salt, format::kSaltSize,
                        format::kPbkdf2Iterations, EVP_sha256(),
                        format::kKeySize, key.data()) != 1) {
    text = "Could not generate random key";
    return -1;
  }
  detail::wipe(seed.data(), seed.size());
  if (store.gen_random(nonce, format::kNonceSize, text) != 0) {
    text = "Could not generate random iv";
    return -1;
  }
  if (store.encrypt_store_key(key.data(), store.password, salt, nonce,
                              store.store_key_cipher, tag, text) != 0) {
    return -1;
  }
  store.set_store_key(key.data());
  std::copy(store.store_key_cipher, store.store_key_cipher + format::kKeySize,
            header + format::kKeyCipherOffset);
  return 0;
}

int write_header(Store& store, const unsigned char* header, std::string& text) {
  if (io::lock_whole_file(store.store_fd, F_WRLCK) != 0) {
    text = "Could not obtain file lock - " + io::error_text(errno);
    return -1;
  }
  int rc = store.store_write(store.store_fd, 0, header, format::kHeaderSize, text);
  // A new store is only reported once it is on stable storage, name included.
  if (rc == 0 && (io::sync_data(store.store_fd) != 0 ||
                  io::sync_parent_directory(store.file_path) != 0)) {
    rc = -1;
  }
  io::unlock_whole_file(store.store_fd);
  if (rc != 0) text = "Could not write to store file";
  return rc;
}

}  // namespace

int Store::create_store(std::string& text) {
  if (file_path.empty()) {
    text = "Invalid store name";
    return -1;
  }
  if (validate_password(password, text) != 0) return -1;
  int fd = io::open_file(file_path.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
  if (fd < 0) {
    text = "could not create store - " + io::error_text(errno);
    return -1;
  }
  if (store_fd >= 0) ::close(store_fd);
  store_fd = fd;
  bool created = false;
  try {
    unsigned char header[format::kHeaderSize] = {};
    created = make_header(*this, header, text) == 0 &&
              write_header(*this, header, text) == 0;
  } catch (...) {
    text = "Unknown exception, could not create secure store";
  }
  if (!created) {
    // A failed creation leaves no file behind, so a retry can create it.
    ::close(store_fd);
    store_fd = -1;
    ::unlink(file_path.c_str());
    store_key_masked = false;
    return -1;
  }
  text = file_path;
  return 0;
}

}  // namespace kel
