// Rotating the store key of a format-2 store: a new random key and store
// identifier, a new header wrapping that key under the new password (which
// may be the old one), and every record sealed again under the key, all in
// one rewrite of the file (items/new_key_rewrite.h). A format-3 store keeps
// its identifier and every other intact key slot, wrapped anew to the new
// key as a revocation does (slots/key_slot_ops.h); only the slot the old
// password opens is replaced by one under the new password. Dropping the
// other slots would lock out, silently, everyone else who opens the store. A password change alone
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
#include "slots/key_slot_ops.h"
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
    // (Outside the block below: the lambda that makes the header under the
    // lock refers to them.)
    std::vector<unsigned char> fresh;
    const unsigned char* opener = target.engine->keys.opened_public;
    const auto public_of = [](const std::vector<unsigned char>& header, const SlotFrame& slot) {
      return header.data() + slot.after_label() + format::v3::kPublicAt;
    };
    if (version == 3) {
      // The slot the old password opened: its parameters and label stay.
      const std::vector<unsigned char>& verified = target.engine->keys.verified_v3;
      std::vector<SlotFrame> slots;
      if (parse_v3_header(verified, slots, text) != 0) return -1;
      std::string label;
      for (const SlotFrame& slot : slots) {
        if (std::memcmp(public_of(verified, slot), opener, 32) != 0) continue;
        label.assign(reinterpret_cast<const char*>(verified.data() + slot.offset +
                                                   format::v3::kLabelAt),
                     slot.label_length);
        if (options == nullptr) params = v3_slot_params(verified, slot);
      }
      if (make_password_slot(new_key.data(), target.engine->keys.store_id, new_password, params,
                             target.engine->kdf_threads, label, fresh, text) != 0) {
        return -1;
      }
      rewrite.make_header = [&](const unsigned char* held, std::vector<unsigned char>& out,
                                std::string& error) {
        std::vector<unsigned char> now;
        std::vector<SlotFrame> now_slots;
        const int read = read_v3_header(target.store_fd, now, false, error);
        if (read < 0) return -1;
        if (read == 0 && parse_v3_header(now, now_slots, error) != 0) return -1;
        for (std::size_t i = 0; i < now_slots.size(); ++i) {
          if (std::memcmp(public_of(now, now_slots[i]), opener, 32) == 0 &&
              v3_slot_mac_holds(now, now_slots[i], held)) {
            return rekey_v3_header(now, held, new_key.data(), i, &fresh, out, error);
          }
        }
        return fail(error, Status::changed, rewrite.changed_meanwhile);
      };
    }
    rewrite.header.resize(format::kHeaderSize);
    // The derivation takes its time before the lock, not under it. Format 2
    // gets a new identifier: a new key always comes with one there, which
    // is how a Safe holding the old key tells (and refuses) the new file;
    // format 3 tells it by its slots' MACs (engine/keyring/header_v3.h).
    if (version == 2 && seal_v2_header(new_key.data(), new_password, params,
                                       target.engine->kdf_threads, nullptr,
                                       rewrite.header.data(), text) != 0) {
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
