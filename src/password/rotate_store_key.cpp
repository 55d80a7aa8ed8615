// Rotating the store key of a format-2 store: a new random key and store
// identifier, a new header wrapping that key under the new password (which
// may be the old one), and every record sealed again under the key, all in
// one rewrite of the file (items/new_key_rewrite.h). A password change alone
// rewraps the same key, so whoever learnt the old password, or kept the old
// header, still opens everything written later; after a rotation neither
// opens anything the new file holds. The old file is kept as the password
// change's backup, "<store file>.backup1": like that one, it opens with the
// old password.
#include <cstring>
#include <string>
#include <vector>

#include "crypto/primitives.h"
#include "engine/engine.h"
#include "engine/file/file_names.h"
#include "engine/keyring/header_v2.h"
#include "engine/keyring/header_v3.h"
#include "engine/records/format.h"
#include "items/new_key_rewrite.h"
#include "password/store_formats.h"
#include "store/diagnostic.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel {

int detail::rotate_store_key(Store& own, const std::string& name,
                             const std::string& old_password,
                             const std::string& new_password, const StoreOptions* options,
                             std::string& text) {
  if (name.empty()) {
    fail(text, Status::invalid_argument, "store required");
    return -1;
  }
  if (old_password.empty() || new_password.empty()) {
    fail(text, Status::invalid_argument, "password cannot be empty");
    return -1;
  }
  if (own.validate_password(new_password, text) != 0) return -1;
  try {
    // A Store of its own, opened with the old password, which it checks:
    // the Safe's Store holds its own password, perhaps not this one.
    Store target;
    target.file_extension = own.file_extension;
    target.set_file_name(name);
    target.password = old_password;
    target.engine->kdf_threads = own.engine->kdf_threads;
    if (target.open_store(text) != 0) return -1;
    const int version = target.engine->keys.format_version;
    if (version == 1) {
      fail(text, Status::invalid_argument,
           "Could not rotate store key: the store is in format 1; upgrading it to "
           "format 2 draws a new store key");
      return -1;
    }
    unsigned char opened[format::kHeaderSize];
    std::memcpy(opened, target.engine->keys.verified_header, sizeof opened);
    KdfParams params{target.engine->keys.kdf_memory_kib, target.engine->keys.kdf_passes,
                     target.engine->keys.kdf_lanes};
    if (options != nullptr) {
      StoreOptions wanted = *options;
      wanted.format = 2;
      if (choose_kdf_params(wanted, params, text) != 0) return -1;
    }
    SecretBytes<format::kKeySize> new_key;
    if (gen_random(new_key.data(), format::kKeySize, text) != 0) {
      fail(text, Status::internal, "Could not generate store key");
      return -1;
    }
    NewKeyRewrite rewrite;
    rewrite.header.resize(format::kHeaderSize);
    // The derivation takes its time before the lock, not under it. Format 3
    // gets a new identifier too, as format 2 does: a new key always comes
    // with one, which is how a Safe holding the old key tells (and refuses)
    // the new file. Its one password slot replaces every slot it had.
    if ((version == 3 ? seal_v3_header(new_key.data(), new_password, params,
                                       target.engine->kdf_threads, rewrite.header, text)
                      : seal_v2_header(new_key.data(), new_password, params,
                                       target.engine->kdf_threads, nullptr,
                                       rewrite.header.data(), text)) != 0) {
      return -1;
    }
    const std::string damaged =
        "Store file is damaged, could not rotate store key; repair it first";
    rewrite.messages = {"Could not obtain file lock to rotate store key: ", damaged};
    rewrite.opened = opened;
    rewrite.changed_meanwhile =
        "Could not rotate store key: its password was changed while the rotation was "
        "prepared; rotate it again with the new password";
    rewrite.format_version = version;
    rewrite.other_format =
        "Could not rotate store key: the store file was replaced by one in format 1";
    rewrite.new_key = new_key.data();
    rewrite.backup_path = resolve_final_links(target.file_path) + kPasswordChangeBackup;
    diagnostic("backup file: " + rewrite.backup_path);
    return rewrite_under_new_key(target, rewrite, text);
  } catch (...) {
    fail_unexpected(text, "rotate store key");
    return -1;
  }
}

}  // namespace kel
