// Upgrading a format-1 store to format 2, or a format-1 or format-2 store to
// format 3 (key slots, tamper-evident records), in one rewrite of the file: a new
// header (Argon2id parameters, a fresh salt and store identifier, a new
// random store key wrapped under the same password) and every record sealed
// again under that key, its name bound to the new identifier and its value
// to its name. The format-1 key is cheap to guess from any format-1 copy,
// so it must open nothing the upgraded store holds. Readers find the old
// file or the new one; the old one is kept as the backup.
#include <algorithm>
#include <cstring>
#include <vector>

#include "crypto/primitives.h"
#include "crypto/store_key.h"
#include "password/store_formats.h"
#include "engine/engine.h"
#include "engine/records/record_writers.h"
#include "items/new_key_rewrite.h"
#include "kel/store.h"
#include "engine/keyring/binding.h"
#include "engine/records/format.h"
#include "engine/keyring/header_reader.h"
#include "engine/keyring/header_v2.h"
#include "engine/keyring/header_v3.h"
#include "engine/file/io.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel {

namespace {

const char* const kAlready = "Store is in format 2 already";
const char* const kAlready3 = "Store is in format 3 already";

}  // namespace

int detail::upgrade_store(Store& store, const StoreOptions& options, std::string& text) {
  try {
    if (store.store_opened) {
      // The password was wiped when the store opened; the new header needs it.
      detail::fail(
          text, Status::invalid_argument,
          "Could not upgrade store: this Safe has opened it already; upgrade "
          "through a new Safe");
      return -1;
    }
    std::string held(store.password);
    detail::StringWiper wipe_held(held);
    if (store.open_store(text) != 0) return -1;
    // Format 3 is asked for by name; anything else makes format 2, as
    // before format 3 existed. Format 1 and 2 stores become format 3.
    const int target = options.format == 3 ? 3 : 2;
    const int from = store.engine->keys.format_version;
    if (from >= target) {
      detail::fail(text, Status::invalid_argument, from == 3 ? kAlready3 : kAlready);
      return -1;
    }
    unsigned char opened[format::kHeaderSize];
    if (from == 1) {
      detail::header_of_members(store, opened);
    } else {
      std::memcpy(opened, store.engine->keys.verified_header, sizeof opened);
    }
    StoreOptions wanted = options;
    wanted.format = target;
    detail::KdfParams params;
    if (detail::choose_kdf_params(wanted, params, text) != 0) return -1;
    std::vector<unsigned char> header(format::kHeaderSize);
    detail::SecretBytes<format::kKeySize> new_key;
    if (detail::gen_random(new_key.data(), format::kKeySize, text) != 0) {
      detail::fail(text, Status::internal, "Could not generate store key");
      return -1;
    }
    // The derivation takes its time before the lock, not under it.
    if ((target == 3 ? detail::seal_v3_header(new_key.data(), held, params,
                                              store.engine->kdf_threads, header, text)
                     : detail::seal_v2_header(new_key.data(), held, params,
                                              store.engine->kdf_threads, nullptr,
                                              header.data(), text)) != 0) {
      return -1;
    }
    detail::NewKeyRewrite rewrite;
    const std::string damaged =
        "Store file is damaged, could not upgrade store; repair it first";
    rewrite.messages = {"Could not obtain file lock to upgrade store: ", damaged};
    rewrite.opened = opened;
    rewrite.changed_meanwhile =
        "Could not upgrade store: its password was changed while the upgrade was "
        "prepared; upgrade it again with the new password";
    rewrite.format_version = from;
    rewrite.other_format = target == 3 ? kAlready3 : kAlready;
    rewrite.other_format_status = Status::invalid_argument;
    rewrite.header = std::move(header);
    rewrite.new_key = new_key.data();
    return detail::rewrite_under_new_key(store, rewrite, text);
  } catch (...) {
    detail::fail_unexpected(text, "upgrade store");
    return -1;
  }
}

}  // namespace kel
