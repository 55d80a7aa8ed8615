// Opening a store lazily, and reloading it after this Store rewrote the file.
#include <errno.h>
#include <unistd.h>

#include <cstring>

#include "crypto/store_key.h"
#include "crypto/primitives.h"
#include "engine/engine.h"
#include "kel/store.h"
#include "env/env.h"
#include "engine/index/current_file.h"
#include "engine/records/format.h"
#include "engine/keyring/header_reader.h"
#include "engine/keyring/header_v2.h"
#include "engine/keyring/header_v3.h"
#include "engine/index/index_scan.h"
#include "engine/file/io.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel {

namespace detail {

int load_header(Store& store, bool locked, std::string& text) {
  bool read_only_file = false;
  int fd = io::open_store_file(store.file_path, read_only_file);
  int open_error = errno;
  // The descriptor this one replaces would otherwise stay open until exit.
  if (store.store_fd >= 0) detail::env().close(store.store_fd);
  store.store_fd = fd;
  store.engine->file.read_only = read_only_file;
  if (fd < 0) {
    text = "Could not open store: " + store.file_path + " - " +
           io::error_text(open_error);
    return -1;
  }
  SharedFileLock lock(fd, locked);
  return read_header_fields(store, fd, text);
}

}  // namespace detail

int Store::load_header(std::string& text) { return detail::load_header(*this, true, text); }

namespace {

// Format 2: the unwrapping of the store key is the password check, made on
// the header as load_header read it. replaced when the file at the path is
// no longer in format 2. A password change elsewhere rewrites the header in
// place, so a read without a lock may catch it half written: when the
// unwrapping fails, the header is read again, and only bytes that changed
// in between are worth another derivation (the last one under the shared
// lock). A wrong password thus costs one derivation, as it should.
detail::HeaderCheck unwrap_version2(Store& store, unsigned char* key, std::string& text) {
  for (int attempt = 1;; ++attempt) {
    const bool locked = attempt == detail::kHeaderAttempts;
    // (A header refused as read, for bytes no writer leaves, is read again
    // too: it may have been caught half written.)
    if (detail::load_header(store, locked, text) != 0) {
      if (locked) return detail::HeaderCheck::failed;
      continue;
    }
    detail::HeaderCheck result = detail::HeaderCheck::replaced;
    if (store.engine->keys.format_version == 2) {
      unsigned char header[format::kHeaderSize];
      detail::encode_v2_header(store, header);
      if (detail::open_v2_header(header, store.password, store.engine->kdf_threads, key,
                                 text) == 0) {
        return detail::HeaderCheck::match;
      }
      unsigned char again[format::kHeaderSize];
      const bool changed = !locked &&
                           detail::read_header_bytes(store.store_fd, again, false) == 0 &&
                           std::memcmp(again, header, sizeof header) != 0;
      result = changed ? detail::HeaderCheck::mismatch : detail::HeaderCheck::failed;
    } else if (store.engine->keys.format_version == 3) {
      const std::vector<unsigned char> header = store.engine->keys.v3_header;
      std::size_t opened = 0;
      if (detail::open_v3_header(header, store.password, store.engine->kdf_threads, key, text,
                                 &opened, &store.engine->credential) == 0) {
        detail::verify_v3_header(store, header, opened);
        return detail::HeaderCheck::match;
      }
      std::vector<unsigned char> again;
      std::string ignored;
      const bool changed = !locked &&
                           detail::read_v3_header(store.store_fd, again, false, ignored) == 0 &&
                           again != header;
      result = changed ? detail::HeaderCheck::mismatch : detail::HeaderCheck::failed;
    }
    detail::env().close(store.store_fd);
    store.store_fd = -1;
    if (result != detail::HeaderCheck::mismatch) return result;
  }
}

// One attempt at unlocking the store: the password checked against the
// header, the header loaded and the key unwrapped into `key`, with the
// header read under the shared lock only when `locked`. mismatch: what was
// read did not authenticate (a wrong password, or a header read while a
// password change rewrote it); replaced: a format-2 file took the store's
// place between the reads.
detail::HeaderCheck unlock(Store& store, bool locked, unsigned char* key,
                           std::string& text) {
  const detail::HeaderCheck checked = detail::check_password(store, locked, text, false);
  if (checked != detail::HeaderCheck::match) return checked;
  if (detail::load_header(store, locked, text) != 0) return detail::HeaderCheck::failed;
  if (store.engine->keys.format_version != 1) {
    detail::env().close(store.store_fd);
    store.store_fd = -1;
    return detail::HeaderCheck::replaced;
  }
  // The header may have changed between the check and the load.
  unsigned char computed[format::kHashSize] = {};
  if (detail::store_hash(reinterpret_cast<const unsigned char*>(store.password.data()),
                       store.password.size(), store.password_salt, computed,
                       text) != 0) {
    return detail::HeaderCheck::failed;
  }
  if (!detail::verify_hash(computed, format::kHashSize, store.password_hash,
                         format::kHashSize)) {
    detail::fail(text, Status::wrong_password, "Invalid password");
    return detail::HeaderCheck::mismatch;
  }
  if (detail::decrypt_store_key(store.store_key_cipher, store.password,
                              store.password_salt, store.store_key_nonce, key,
                              store.store_key_tag, text) != 0) {
    detail::fail(text, Status::damaged, "Could not decrypt store key cipher");
    detail::env().close(store.store_fd);
    store.store_fd = -1;
    return detail::HeaderCheck::mismatch;
  }
  return detail::HeaderCheck::match;
}

// Format 1: without a lock first, so that a writer's lock never holds a
// reader up; a header that does not authenticate is read again, the last
// time under the shared lock. An answer is final when the header read the
// same before and after the attempt that gave it.
detail::HeaderCheck unlock_version1(Store& store, unsigned char* key, std::string& text) {
  detail::HeaderWatch watch(store.file_path);
  for (int attempt = 1;; ++attempt) {
    const bool locked = attempt == detail::kHeaderAttempts;
    const detail::HeaderCheck unlocked = unlock(store, locked, key, text);
    if (unlocked != detail::HeaderCheck::mismatch || locked || watch.steady()) {
      return unlocked;
    }
  }
}

// Checks the password, unwraps the key and masks it. With `whole_index`
// the index is built over the whole file; otherwise only a scan is begun,
// which lookups run on as far as they need.
int open(Store& store, bool whole_index, std::string& text) {
  if (store.store_opened) return 0;
  detail::SecretBytes<format::kKeySize> key;
  try {
    // Each read of the header opens the path anew, and another process may
    // rename a file of the other format over the store between two of them
    // (an upgrade, or its backup put back): what one read found must not
    // be judged by the other's format, so such a reader starts over. The
    // header, the records and the key then all come from the one file that
    // store_fd holds.
    for (int restart = 0;; ++restart) {
      const detail::HeaderCheck unlocked =
          detail::is_version2_file(store.file_path)
              ? unwrap_version2(store, key.data(), text)
              : unlock_version1(store, key.data(), text);
      if (unlocked == detail::HeaderCheck::match) break;
      if (unlocked != detail::HeaderCheck::replaced) return -1;
      if (restart == detail::kMaxReplacedRestarts) {
        detail::fail(text, Status::changed,
                     "Could not open store: " + store.file_path +
                         " - it was replaced by another file again and again "
                         "while it was read");
        return -1;
      }
    }
    // The members hold the header just checked; a later file at the path
    // replaces them, and key_verified must still judge by this one.
    if (store.engine->keys.format_version == 3) {
      detail::verify_v3_header(store, store.engine->keys.v3_header);
    } else if (store.engine->keys.format_version == 2) {
      store.engine->keys.verified_v3.clear();
      detail::encode_v2_header(store, store.engine->keys.verified_header);
    } else {
      store.engine->keys.verified_v3.clear();
      detail::header_of_members(store, store.engine->keys.verified_header);
    }
    detail::clear_index(store.index);
    store.engine->index.indexed_file.valid = false;
    const int indexed = whole_index ? store.build_index(key.data(), text)
                                    : detail::begin_index_scan(store, text);
    if (indexed != 0) {
      detail::clear_index(store.index);
      store.engine->index.indexed_file.valid = false;
      return -1;
    }
    detail::set_store_key(store, key.data());
    if (!store.engine->keys.store_key_masked) {
      detail::clear_index(store.index);
      store.engine->index.paused_scan.reset();
      store.engine->index.indexed_file.valid = false;
      detail::fail(text, Status::internal, "Could not get store key");
      return -1;
    }
    // Only now is the password no longer needed: an opening that failed
    // above can be retried through this same object.
    detail::mem_clear(store.password.data(), store.password.size());
    // So are an identity's secret key and a key file's hash: like the
    // password, they open the store once and are not kept beside its key.
    detail::Credential& credential = store.engine->credential;
    detail::mem_clear(credential.identity_secret.data(), credential.identity_secret.size());
    detail::mem_clear(credential.key_file_hash.data(), credential.key_file_hash.size());
    store.store_opened = true;
    return 0;
  } catch (...) {
    store.engine->index.paused_scan.reset();
    detail::fail(text, Status::internal,
                 "Could not open store, unknown exception occurred");
    return -1;
  }
}

}  // namespace

int Store::open_store(std::string& text) { return open(*this, true, text); }

namespace detail {

int open_store_for_lookup(Store& store, std::string& text) {
  return open(store, false, text);
}

}  // namespace detail

int Store::reload_store_content(std::string& text) {
  detail::SecretBytes<format::kKeySize> key;
  try {
    if (load_header(text) != 0) return -1;
    if (get_store_key(key.data()) != 0) {
      text += "Could not get store key. ";
      detail::set_status(Status::internal);
      return -1;
    }
    detail::clear_index(index);
    engine->index.indexed_file.valid = false;
    return build_index(key.data(), text) == 0 ? 0 : -1;
  } catch (...) {
    detail::fail(text, Status::internal,
                 "Could not open store, unknown exception occurred. ");
    return -1;
  }
}

}  // namespace kel
