// The Safe's key-slot calls: choosing what opens the store, and the slot
// operations (slots/key_slot_ops.h), each one call into the Safe's Store.
#include <cstring>

#include "crypto/key_agreement.h"
#include "engine/engine.h"
#include "engine/keyring/header_v3.h"
#include "interface/call_status.h"
#include "kel/safe.h"
#include "kel/store.h"
#include "password/store_formats.h"
#include "slots/identity_text.h"
#include "slots/key_slot_ops.h"
#include "slots/slot_files.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel {

namespace {

// What opens the store is chosen before it is opened: a Store that holds
// a key already keeps the one it opened with.
int refuse_opened(const Store& store, std::string& error) {
  if (!store.store_opened) return 0;
  return detail::fail(error, Status::invalid_argument,
                      "Choose what opens the store before the Safe first uses it");
}

// The Argon2id parameters a new password slot gets: the first password
// slot's (what format_info reports), as a password change keeps them.
// A store with no slot of either kind (recipients only) has none to keep:
// the parameters are calibrated as for a new store.
int slot_params(const Store& store, detail::KdfParams& params, std::string& error) {
  const detail::Keyring& keys = store.engine->keys;
  params = {keys.kdf_memory_kib, keys.kdf_passes, keys.kdf_lanes};
  if (params.memory_kib != 0) return 0;
  StoreOptions wanted;
  wanted.format = 3;
  return detail::choose_kdf_params(wanted, params, error);
}

}  // namespace

namespace {

// Makes the identity in `text` what opens `store`.
int take_identity(Store& store, const std::string& text, std::string& error) {
  if (refuse_opened(store, error) != 0) return -1;
  detail::Credential& credential = detail::engine(store).credential;
  if (detail::parse_identity(text, credential.identity_secret.data(),
                             credential.identity_public, error) != 0) {
    return -1;
  }
  credential.kind = detail::Credential::Kind::identity;
  return 0;
}

}  // namespace

int Safe::use_identity(const std::string& identity_text, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(take_identity(*store, identity_text, error));
}

int Safe::use_identity_file(const std::string& path, std::string& error) {
  detail::SafeCall call(*this);
  std::string text;
  detail::StringWiper wiper(text);
  if (detail::read_identity_file(path, text, error) != 0) return call.result(-1);
  return call.result(take_identity(*store, text, error));
}

int Safe::use_key_file(const std::string& path, std::string& error) {
  detail::SafeCall call(*this);
  if (refuse_opened(*store, error) != 0) return call.result(-1);
  detail::Credential& credential = detail::engine(*store).credential;
  if (detail::hash_key_file(path, credential.key_file_hash.data(), error) != 0) {
    return call.result(-1);
  }
  credential.kind = detail::Credential::Kind::key_file;
  return call.result(0);
}

int Safe::list_slots(std::vector<SlotInfo>& slots, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::list_slots(*store, slots, error));
}

namespace {

// Grants a password slot, or with `key_file_hash` a password-and-key-file
// slot, under the parameters of the store's password slots.
int grant_secret_slot(Store& own, const std::string& password,
                      const unsigned char* key_file_hash, const std::string& label,
                      std::string& error) {
  return detail::grant_slot(
      own,
      [&](const unsigned char* key, const unsigned char* store_id,
          std::vector<unsigned char>& slot, std::string& text) {
        detail::KdfParams params;
        if (slot_params(own, params, text) != 0) return -1;
        const unsigned threads = own.engine->kdf_threads;
        return key_file_hash == nullptr
                   ? detail::make_password_slot(key, store_id, password, params, threads,
                                                label, slot, text)
                   : detail::make_key_file_slot(key, store_id, password, key_file_hash,
                                                params, threads, label, slot, text);
      },
      nullptr, error);
}

}  // namespace

int Safe::grant_password(const std::string& password, const std::string& label,
                         std::string& error) {
  detail::SafeCall call(*this);
  if (detail::check_slot_label(label, error) != 0 ||
      store->validate_password(password, error) != 0) {
    return call.result(-1);
  }
  return call.result(grant_secret_slot(*store, password, nullptr, label, error));
}

int Safe::grant_key_file(const std::string& password, const std::string& key_file_path,
                         const std::string& label, std::string& error) {
  detail::SafeCall call(*this);
  detail::SecretBytes<32> hash;
  if (detail::check_slot_label(label, error) != 0 ||
      store->validate_password(password, error) != 0 ||
      detail::hash_key_file(key_file_path, hash.data(), error) != 0) {
    return call.result(-1);
  }
  return call.result(grant_secret_slot(*store, password, hash.data(), label, error));
}

int Safe::grant_recipient(const std::string& public_key, const std::string& label,
                          std::string& error) {
  detail::SafeCall call(*this);
  unsigned char recipient[32];
  if (detail::check_slot_label(label, error) != 0 ||
      detail::parse_public_key(public_key, recipient, error) != 0) {
    return call.result(-1);
  }
  return call.result(detail::grant_slot(
      *store,
      [&](const unsigned char* key, const unsigned char* store_id,
          std::vector<unsigned char>& slot, std::string& text) {
        return detail::make_recipient_slot(key, store_id, recipient, label, slot, text);
      },
      recipient, error));
}

int Safe::revoke_slot(std::size_t index, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::revoke_slot(*store, index, error));
}

}  // namespace kel
