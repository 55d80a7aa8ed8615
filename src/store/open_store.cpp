// Opening a store lazily, and reloading it after this Store rewrote the file.
#include <errno.h>
#include <unistd.h>

#include "kel/store.h"
#include "store/current_file.h"
#include "store/format.h"
#include "store/header_reader.h"
#include "store/io.h"
#include "store/secret.h"

namespace kel {

int Store::load_header(std::string& text) {
  bool read_only_file = false;
  int fd = io::open_store_file(file_path, read_only_file);
  int open_error = errno;
  // The descriptor this one replaces would otherwise stay open until exit.
  if (store_fd >= 0) ::close(store_fd);
  store_fd = fd;
  read_only = read_only_file;
  if (fd < 0) {
    text = "Could not open store: " + file_path + " - " +
           io::error_text(open_error);
    return -1;
  }
  detail::SharedFileLock lock(fd);
  return detail::read_header_fields(*this, fd, text);
}

int Store::open_store(std::string& text) {
  if (store_opened) return 0;
  detail::SecretBytes<format::kKeySize> key;
  try {
    if (!verify_store_password(text)) return -1;
    if (load_header(text) != 0) return -1;
    // The header may have changed between the check and the load.
    unsigned char computed[format::kHashSize] = {};
    if (store_hash(reinterpret_cast<const unsigned char*>(password.data()),
                   password.size(), password_salt, computed, text) != 0) {
      return -1;
    }
    if (!verify_hash(computed, format::kHashSize, password_hash,
                     format::kHashSize)) {
      text = "Invalid password";
      return -1;
    }
    if (decrypt_store_key(store_key_cipher, password, password_salt,
                          store_key_nonce, key.data(), store_key_tag,
                          text) != 0) {
      text = "Could not decrypt store key cipher";
      ::close(store_fd);
      store_fd = -1;
      return -1;
    }
    detail::clear_index(index);
    indexed_file.valid = false;
    if (build_index(key.data(), text) != 0) {
      detail::clear_index(index);
      indexed_file.valid = false;
      return -1;
    }
    set_store_key(key.data());
    if (!store_key_masked) {
      detail::clear_index(index);
      text = "Could not get store key";
      return -1;
    }
    // Only now is the password no longer needed: an opening that failed
    // above can be retried through this same object.
    mem_clear(password.data(), password.size());
    store_opened = true;
    return 0;
  } catch (...) {
    text = "Could not open store, unknown exception occurred";
    return -1;
  }
}

int Store::reload_store_content(std::string& text) {
  detail::SecretBytes<format::kKeySize> key;
  try {
    if (load_header(text) != 0) return -1;
    if (get_store_key(key.data()) != 0) {
      text += "Could not get store key. ";
      return -1;
    }
    detail::clear_index(index);
    indexed_file.valid = false;
    return build_index(key.data(), text) == 0 ? 0 : -1;
  } catch (...) {
    text = "Could not open store, unknown exception occurred. ";
    return -1;
  }
}

}  // namespace kel
