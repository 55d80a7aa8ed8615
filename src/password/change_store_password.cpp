// Changing the store password: only the header is rewritten (new salt, hash
// and wrapping of the same store key, and in format 2 new Argon2id
// parameters when asked); the records stay as they are, since items are
// encrypted under the store key, not the password.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "crypto/primitives.h"
#include "crypto/store_key.h"
#include "engine/engine.h"
#include "kel/store.h"
#include "env/env.h"
#include "engine/index/current_file.h"
#include "store/diagnostic.h"
#include "engine/file/file_names.h"
#include "engine/records/format.h"
#include "engine/keyring/header_reader.h"
#include "engine/keyring/header_v2.h"
#include "engine/keyring/header_v3.h"
#include "engine/index/index_scan.h"
#include "engine/file/io.h"
#include "engine/records/rewrite.h"
#include "store/secret.h"
#include "store/status_note.h"
#include "engine/file/write_lock.h"
#include "password/store_formats.h"

namespace kel {

namespace {

using detail::SecretBytes;

// The new header for `key` under `new_password`, or -1 with the message.
int make_new_header(const unsigned char* key,
                    const std::string& new_password, unsigned char* header,
                    std::string& text) {
  unsigned char* salt = header + format::kSaltOffset;
  if (detail::gen_random(salt, format::kSaltSize, text) != 0) {
    text += ". Could not generate store salt random";
    detail::set_status(Status::internal);
    return -1;
  }
  if (detail::store_hash(reinterpret_cast<const unsigned char*>(new_password.data()),
                       new_password.size(), salt,
                       header + format::kHashOffset, text) != 0) {
    return -1;
  }
  unsigned char* nonce = header + format::kKeyNonceOffset;
  if (detail::gen_random(nonce, format::kNonceSize, text) != 0) {
    detail::fail(text, Status::internal, "Could not generate new random iv");
    return -1;
  }
  if (detail::encrypt_store_key(key, new_password, salt, nonce,
                              header + format::kKeyCipherOffset,
                              header + format::kKeyTagOffset, text) != 0) {
    detail::fail(text, Status::internal,
                 "Encrypt store key with new password failed");
    return -1;
  }
  return 0;
}

// A durable copy of the store file as it is now (the caller holds the lock),
// beside the file a linked store path points to.
int back_up(const Store& store, std::string& text) {
  const std::string real = detail::resolve_final_links(store.file_path);
  const std::string backup = real + detail::kPasswordChangeBackup;
  detail::diagnostic("backup file: " + backup);
  const std::string prefix =
      "Could not copy store file to backup file " + backup + " - ";
  struct stat locked {}, named {};
  if (detail::env().fstat(store.store_fd, &locked) != 0 || detail::env().stat(real.c_str(), &named) != 0) {
    text = prefix + io::error_text(errno);
    return detail::note_write_step(WriteStep::backup, backup);
  }
  // The link may have been pointed elsewhere since the lock was taken.
  if (locked.st_dev != named.st_dev || locked.st_ino != named.st_ino) {
    detail::fail(text, Status::changed,
                 prefix + "the store file was replaced meanwhile");
    return -1;
  }
  // An exclusive new file, synced and renamed over the old backup: a link
  // planted at the backup's name is replaced, never written through. The
  // directory is synced too, since a header rewritten on the disk while the
  // backup's name is not would leave no copy that the old password opens.
  if (detail::replace_with_copy(store.store_fd, locked.st_size, locked.st_mode, backup,
                                store.file_extension) != 0) {
    text = prefix + io::error_text(errno);
    return detail::note_write_step(WriteStep::backup, backup);
  }
  return 0;
}

// Writes `header` in place and makes it durable. On failure the previous
// header goes back, so the file opens with the old password as before.
int rewrite_header(Store& store, const unsigned char* header,
                   const unsigned char* previous, std::string& text,
                   long size = format::kHeaderSize) {
  const bool written = store.store_write(store.store_fd, 0, header, size, text) == 0;
  if (written && io::sync_data(store.store_fd) == 0) return 0;
  if (written) io::record_error(errno);  // the sync failed: that is the cause
  // Putting the old header back is all that is left to try; whether it
  // worked or not, the failure to report is the one above.
  detail::KeepStatus keep_cause;
  std::string ignored;
  if (store.store_write(store.store_fd, 0, previous, size, ignored) == 0) {
    io::sync_data(store.store_fd);
  }
  text = "Could not change store password";
  return -1;
}

const char* const kFormat1Params =
    "Could not change store password: the store is in format 1, which has no "
    "key derivation to set; upgrade it to format 2 first";

// The parameters `options` asks for (none: 0 and nothing chosen), checked
// and calibrated before the lock is taken, since calibration takes time.
int choose_params(const Store& store, const StoreOptions* options,
                  detail::KdfParams& chosen, std::string& text) {
  if (options == nullptr) return 0;
  if (store.engine->keys.format_version == 1) {
    detail::fail(text, Status::invalid_argument, kFormat1Params);
    return -1;
  }
  StoreOptions wanted = *options;
  wanted.format = 2;
  return detail::choose_kdf_params(wanted, chosen, text);
}

void close_store(Store& store) {
  if (store.store_fd >= 0) {
    detail::unlock_store(store);
    detail::env().close(store.store_fd);
  }
  store.store_fd = -1;
  store.store_opened = false;
  detail::clear_index(store.index);
  store.engine->index.paused_scan.reset();
  store.engine->index.indexed_file.valid = false;
}

// Format 2: the key is unwrapped with the old password and wrapped under the
// new one with a fresh salt and nonce; the parameters (unless `chosen` gives
// new ones) and the store's identifier stay, so every record stays bound as
// it was.
int change_locked_v2(Store& store, const std::string& old_password,
                     const std::string& new_password, const detail::KdfParams* chosen,
                     bool& header_touched, std::string& text) {
  unsigned char previous[format::kHeaderSize];
  detail::encode_v2_header(store, previous);
  SecretBytes<format::kKeySize> key;
  if (detail::open_v2_header(previous, old_password, store.engine->kdf_threads, key.data(),
                             text) != 0) {
    return -1;
  }
  const detail::KdfParams params =
      chosen != nullptr ? *chosen
                        : detail::KdfParams{store.engine->keys.kdf_memory_kib,
                                            store.engine->keys.kdf_passes,
                                            store.engine->keys.kdf_lanes};
  unsigned char header[format::kHeaderSize];
  if (detail::seal_v2_header(key.data(), new_password, params, store.engine->kdf_threads,
                             store.engine->keys.store_id, header, text) != 0) {
    detail::fail(text, Status::internal,
                 "Encrypt store key with new password failed");
    return -1;
  }
  if (back_up(store, text) != 0) return -1;
  header_touched = true;
  return rewrite_header(store, header, previous, text);
}

// Format 3: the slot the old password opens gets a fresh key pair, the
// store key wrapped to it, its secret key sealed under the new password
// (new parameters when `chosen` gives them). Its label stays, so the header
// keeps its length and the records (bound to their place after it, not to
// the header's bytes) stay as they are; so do the other slots and the
// generation.
int change_locked_v3(Store& store, const std::string& old_password,
                     const std::string& new_password, const detail::KdfParams* chosen,
                     bool& header_touched, std::string& text) {
  const std::vector<unsigned char> previous = store.engine->keys.v3_header;
  SecretBytes<format::kKeySize> key;
  std::size_t opened = 0;
  std::vector<detail::SlotFrame> slots;
  if (detail::open_v3_header(previous, old_password, store.engine->kdf_threads, key.data(),
                             text, &opened) != 0 ||
      detail::parse_v3_header(previous, slots, text) != 0) {
    return -1;
  }
  const detail::SlotFrame& slot = slots[opened];
  const detail::KdfParams params =
      chosen != nullptr ? *chosen : detail::v3_slot_params(previous, slot);
  const std::string label(
      reinterpret_cast<const char*>(previous.data() + slot.offset + format::v3::kLabelAt),
      slot.label_length);
  std::vector<unsigned char> fresh;
  if (detail::make_password_slot(key.data(), previous.data() + format::v3::kStoreIdOffset,
                                 new_password, params, store.engine->kdf_threads, label, fresh,
                                 text) != 0) {
    return -1;
  }
  std::vector<unsigned char> header = previous;
  std::copy(fresh.begin(), fresh.end(), header.begin() + static_cast<long>(slot.offset));
  if (back_up(store, text) != 0) return -1;
  header_touched = true;
  return rewrite_header(store, header.data(), previous.data(), text,
                        static_cast<long>(header.size()));
}

// The part that runs under the write lock: the header as it is now is
// checked against the old password, re-wrapped, backed up and replaced.
int change_locked(Store& store, const std::string& old_password,
                  const std::string& new_password, const detail::KdfParams* chosen,
                  bool& header_touched, std::string& text) {
  if (detail::read_header_fields(store, store.store_fd, text) != 0) return -1;
  if (store.engine->keys.format_version == 3) {
    return change_locked_v3(store, old_password, new_password, chosen, header_touched, text);
  }
  if (store.engine->keys.format_version == 2) {
    return change_locked_v2(store, old_password, new_password, chosen, header_touched, text);
  }
  if (chosen != nullptr) {  // replaced by a format-1 file since it was checked
    detail::fail(text, Status::changed, kFormat1Params);
    return -1;
  }
  unsigned char computed[format::kHashSize] = {};
  if (detail::store_hash(reinterpret_cast<const unsigned char*>(old_password.data()),
                       old_password.size(), store.password_salt, computed,
                       text) != 0) {
    return -1;
  }
  if (!detail::verify_hash(computed, format::kHashSize, store.password_hash,
                         format::kHashSize)) {
    detail::fail(text, Status::wrong_password, "Invalid password");
    return -1;
  }
  SecretBytes<format::kKeySize> key;
  if (detail::decrypt_store_key(store.store_key_cipher, old_password,
                              store.password_salt, store.store_key_nonce,
                              key.data(), store.store_key_tag, text) != 0) {
    return -1;
  }
  SecretBytes<format::kHeaderSize> header;
  unsigned char previous[format::kHeaderSize];
  detail::header_of_members(store, previous);
  if (make_new_header(key.data(), new_password, header.data(), text) != 0 ||
      back_up(store, text) != 0) {
    return -1;
  }
  header_touched = true;
  return rewrite_header(store, header.data(), previous, text);
}

}  // namespace

int Store::change_store_password(const std::string& name,
                                 const std::string& old_password,
                                 const std::string& new_password,
                                 std::string& text) {
  return detail::change_store_password(*this, name, old_password, new_password, nullptr,
                                       text);
}

int detail::change_store_password(Store& store, const std::string& name,
                                  const std::string& old_password,
                                  const std::string& new_password,
                                  const StoreOptions* options, std::string& text) {
  if (name.empty()) {
    detail::fail(text, Status::invalid_argument, "store required");
    return -1;
  }
  if (old_password.empty() || new_password.empty()) {
    detail::fail(text, Status::invalid_argument, "password cannot be empty");
    return -1;
  }
  if (store.validate_password(new_password, text) != 0) return -1;
  if (!store.verify_store_password(name, old_password, text)) return -1;
  bool same_store =
      detail::path_with_extension(name, store.file_extension) == store.file_path;
  bool header_touched = false;
  int rc = -1;
  try {
    store.set_file_name(name);
    detail::KdfParams chosen;
    if (store.load_header(text) == 0 && choose_params(store, options, chosen, text) == 0) {
      detail::CurrentStoreLock lock(
          store, "Could not obtain file lock for change password - ", text);
      if (lock.locked()) {
        rc = change_locked(store, old_password, new_password,
                           options != nullptr ? &chosen : nullptr, header_touched, text);
      }
    }
  } catch (...) {
    detail::fail_unexpected(text, "change store password");
    rc = -1;
  }
  // After a change (or an attempt that reached the file) this Store is
  // closed: it opens again with its own password on its next operation.
  if (rc == 0 || header_touched || !same_store) close_store(store);
  return rc;
}

}  // namespace kel
