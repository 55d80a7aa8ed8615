// Creating a new, empty store file: a fresh salt and store key, the key
// wrapped under the password, and the 132-byte header, in either format.
#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "crypto/store_key.h"
#include "crypto/primitives.h"
#include "password/store_formats.h"
#include "engine/engine.h"
#include "kel/store.h"
#include "env/env.h"
#include "engine/file/file_names.h"
#include "engine/records/format.h"
#include "engine/keyring/header_v2.h"
#include "engine/keyring/header_v3.h"
#include "engine/file/io.h"
#include "store/secret.h"
#include "store/status_note.h"

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
  if (detail::gen_random(salt, format::kSaltSize, text) != 0) {
    detail::fail(text, Status::internal,
                 "Could not generate store salt random");
    return -1;
  }
  if (detail::store_hash(reinterpret_cast<const unsigned char*>(store.password.data()),
                       store.password.size(), salt, hash, text) != 0) {
    return -1;
  }
  SecretBytes<format::kKeySize> seed;
  SecretBytes<format::kKeySize> key;
  if (detail::gen_random(seed.data(), format::kKeySize, text) != 0) {
    detail::fail(text, Status::internal, "Could not generate random key");
    return -1;
  }
  if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(seed.data()),
                        format::kKeySize, salt, format::kSaltSize,
                        format::kPbkdf2Iterations, EVP_sha256(),
                        format::kKeySize, key.data()) != 1) {
    detail::fail(text, Status::internal, "Could not generate random key");
    return -1;
  }
  detail::wipe(seed.data(), seed.size());
  if (detail::gen_random(nonce, format::kNonceSize, text) != 0) {
    detail::fail(text, Status::internal, "Could not generate random iv");
    return -1;
  }
  if (detail::encrypt_store_key(key.data(), store.password, salt, nonce,
                              store.store_key_cipher, tag, text) != 0) {
    return -1;
  }
  detail::set_store_key(store, key.data());
  std::copy(store.store_key_cipher, store.store_key_cipher + format::kKeySize,
            header + format::kKeyCipherOffset);
  return 0;
}

// Format 2: a random store key wrapped under the Argon2id key of the
// password with `params`.
int make_header_v2(Store& store, const detail::KdfParams& params, unsigned char* header,
                   std::string& text) {
  SecretBytes<format::kKeySize> key;
  if (detail::gen_random(key.data(), format::kKeySize, text) != 0) {
    detail::fail(text, Status::internal, "Could not generate random key");
    return -1;
  }
  if (detail::seal_v2_header(key.data(), store.password, params, store.engine->kdf_threads,
                             nullptr, header, text) != 0) {
    return -1;
  }
  detail::set_store_key(store, key.data());
  return 0;
}

// Format 3: a random store key, identifier and generation, and one
// password slot that wraps the key.
int make_header_v3(Store& store, const detail::KdfParams& params,
                   std::vector<unsigned char>& header, std::string& text) {
  SecretBytes<format::kKeySize> key;
  if (detail::gen_random(key.data(), format::kKeySize, text) != 0) {
    detail::fail(text, Status::internal, "Could not generate random key");
    return -1;
  }
  if (detail::seal_v3_header(key.data(), store.password, params, store.engine->kdf_threads,
                             header, text) != 0) {
    return -1;
  }
  detail::set_store_key(store, key.data());
  return 0;
}

int write_header(Store& store, const std::vector<unsigned char>& header, std::string& text) {
  if (io::lock_whole_file(store.store_fd, F_WRLCK) != 0) {
    text = "Could not obtain file lock - " + io::error_text(errno);
    return -1;
  }
  int rc = store.store_write(store.store_fd, 0, header.data(),
                             static_cast<long>(header.size()), text);
  if (rc == 0 && io::sync_data(store.store_fd) != 0) {
    io::record_error(errno);
    rc = -1;
  }
  io::unlock_whole_file(store.store_fd);
  if (rc != 0) text = "Could not write to store file";
  return rc;
}

// Gives the complete, durable file under `staging` the store's name.
// link(2) fails when the name exists, as an exclusive creation does, and the
// name appears on the disk with the whole header or not at all. Returns 0,
// 1 when the file system has no hard links, or -1 with the message.
int publish(const Store& store, const std::string& staging, std::string& text) {
  if (detail::env().link(staging.c_str(), store.file_path.c_str()) != 0) {
    const int error = errno;
    detail::env().unlink(staging.c_str());
    if (error == EPERM || error == ENOTSUP || error == ENOSYS || error == EMLINK) {
      return 1;
    }
    text = "could not create store - " + io::error_text(error);
    return -1;
  }
  detail::env().unlink(staging.c_str());
  // A new store is only reported once its name is on stable storage.
  if (io::sync_parent_directory(store.file_path) != 0) {
    io::record_error(errno);  // the text below names no cause
    detail::env().unlink(store.file_path.c_str());
    text = "Could not write to store file";
    return -1;
  }
  return 0;
}

// Where hard links are impossible the header goes into the file created
// exclusively at the store's path itself.
int create_in_place(Store& store, const std::vector<unsigned char>& header,
                    std::string& text) {
  int fd = io::open_file(store.file_path.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
  if (fd < 0) {
    text = "could not create store - " + io::error_text(errno);
    return -1;
  }
  detail::env().close(store.store_fd);
  store.store_fd = fd;
  bool written = write_header(store, header, text) == 0;
  if (written && io::sync_parent_directory(store.file_path) != 0) {
    io::record_error(errno);  // the text below names no cause
    written = false;
  }
  if (!written) {
    detail::env().unlink(store.file_path.c_str());
    text = "Could not write to store file";
    return -1;
  }
  return 0;
}

}  // namespace

int Store::create_store(std::string& text) { return detail::create_store(*this, StoreOptions(), text); }

int detail::create_store(Store& store, const StoreOptions& options, std::string& text) {
  if (store.file_path.empty()) {
    detail::fail(text, Status::invalid_argument, "Invalid store name");
    return -1;
  }
  if (store.validate_password(store.password, text) != 0) return -1;
  if (options.format < 1 || options.format > 3) {
    detail::fail(
        text, Status::invalid_argument,
        "Unknown store format " + std::to_string(options.format) + " (1, 2 or 3)");
    return -1;
  }
  // The cheap answer first; link(2) below is what makes it exclusive.
  struct stat existing {};
  if (detail::env().lstat(store.file_path.c_str(), &existing) == 0) {
    text = "could not create store - " + io::error_text(EEXIST);
    return -1;
  }
  detail::KdfParams params;
  if (options.format >= 2 && detail::choose_kdf_params(options, params, text) != 0) {
    return -1;
  }
  // The header is made durable under a temporary name beside the store, so
  // that a crash never leaves a store file without its header.
  const std::string staging = detail::temporary_path(store.file_path, store.file_extension);
  int fd = io::open_file(staging.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
  if (fd < 0) {
    text = "could not create store - " + io::error_text(errno);
    return detail::note_write_step(WriteStep::create, store.file_path);
  }
  if (store.store_fd >= 0) detail::env().close(store.store_fd);
  store.store_fd = fd;
  bool created = false;
  try {
    std::vector<unsigned char> header(format::kHeaderSize);
    const int made = options.format == 3   ? make_header_v3(store, params, header, text)
                     : options.format == 2 ? make_header_v2(store, params, header.data(), text)
                                           : make_header(store, header.data(), text);
    if (made == 0 && write_header(store, header, text) == 0) {
      int published = publish(store, staging, text);
      if (published == 1) published = create_in_place(store, header, text);
      created = published == 0;
    }
  } catch (...) {
    detail::fail(text, Status::internal,
                 "Unknown exception, could not create secure store");
  }
  if (!created) {
    // A failed creation leaves no file behind, so a retry can create it.
    detail::env().close(store.store_fd);
    store.store_fd = -1;
    detail::env().unlink(staging.c_str());
    store.engine->keys.store_key_masked = false;
    return detail::note_write_step(WriteStep::create, store.file_path);
  }
  text = store.file_path;
  return 0;
}

}  // namespace kel
