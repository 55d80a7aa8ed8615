// Upgrading a format-1 store to format 2 in one rewrite of the file: a new
// header (Argon2id parameters, a fresh salt and store identifier, a new
// random store key wrapped under the same password) and every record sealed
// again under that key, its name bound to the new identifier and its value
// to its name. The format-1 key is cheap to guess from any format-1 copy,
// so it must open nothing the upgraded store holds. Readers find the old
// file or the new one; the old one is kept as the backup.
#include <errno.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "crypto/primitives.h"
#include "crypto/store_key.h"
#include "password/store_formats.h"
#include "engine/engine.h"
#include "engine/records/record_writers.h"
#include "items/rewrite_operation.h"
#include "kel/store.h"
#include "engine/keyring/binding.h"
#include "engine/records/format.h"
#include "engine/keyring/header_reader.h"
#include "engine/keyring/header_v2.h"
#include "engine/file/io.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel {

namespace {

const char* const kAlready = "Store is in format 2 already";

// With the write lock held: whether the file's header is still `opened`.
// The new header wraps the key under the password checked against that one;
// after a password change elsewhere it would bring the old password back.
int header_unchanged(const Store& store, const unsigned char* opened, std::string& error) {
  unsigned char now[format::kHeaderSize];
  const ssize_t got = io::pread_full(store.store_fd, now, sizeof now, 0);
  if (got < 0) {
    error = "Could not read store header - " + io::error_text(errno);
    return -1;
  }
  if (got != static_cast<ssize_t>(sizeof now) ||
      std::memcmp(now, opened, sizeof now) != 0) {
    detail::fail(error, Status::changed,
                 "Could not upgrade store: its password was changed while the "
                 "upgrade was "
                 "prepared; upgrade it again with the new password");
    return -1;
  }
  return 0;
}

// Every record of the file is sealed again under `new_key`: those the index
// holds under their names, and the rest (a name stored twice, of which only the first
// record is ever read) left out, since they could not be read in format 2.
int reseal_every_record(Store& store, const unsigned char* key, const unsigned char* new_key,
                        const detail::Binding& target, const std::string& damaged,
                        detail::RecordChanges& changes, std::string& text) {
  for (const auto& [name, item] : store.index) {
    changes.changed[detail::record_start(name, item)] =
        detail::resealing_writer(store, key, name, name, item, &target, new_key);
  }
  std::vector<detail::RecordSpan> records;
  if (detail::list_records(store, format::kHeaderSize, records, damaged, text) != 0) {
    return -1;
  }
  for (const detail::RecordSpan& record : records) {
    changes.changed.try_emplace(record.start, detail::RecordWriter());
  }
  return 0;
}

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
    if (store.engine->keys.format_version != 1) {
      detail::fail(text, Status::invalid_argument, kAlready);
      return -1;
    }
    unsigned char opened[format::kHeaderSize];
    detail::header_of_members(store, opened);
    StoreOptions wanted = options;
    wanted.format = 2;
    detail::KdfParams params;
    if (detail::choose_kdf_params(wanted, params, text) != 0) return -1;
    std::vector<unsigned char> header(format::kHeaderSize);
    detail::SecretBytes<format::kKeySize> new_key;
    if (detail::gen_random(new_key.data(), format::kKeySize, text) != 0) {
      detail::fail(text, Status::internal, "Could not generate store key");
      return -1;
    }
    // The derivation takes its time before the lock, not under it.
    if (detail::seal_v2_header(new_key.data(), held, params, nullptr, header.data(),
                               text) != 0) {
      return -1;
    }
    detail::Binding target;
    target.bound = true;
    std::memcpy(target.store_id, header.data() + format::kV2StoreIdOffset,
                sizeof target.store_id);
    const std::string damaged =
        "Store file is damaged, could not upgrade store; repair it first";
    const int done = detail::run_rewrite(
        store, {"Could not obtain file lock to upgrade store: ", damaged},
        [&](const unsigned char* key, detail::RecordChanges& changes, std::string& error) {
          // Another process may have upgraded it while the key was wrapped.
          if (store.engine->keys.format_version != 1) {
            detail::fail(error, Status::invalid_argument, kAlready);
            return -1;
          }
          if (header_unchanged(store, opened, error) != 0) return -1;
          if (reseal_every_record(store, key, new_key.data(), target, damaged, changes,
                                  error) != 0) {
            return -1;
          }
          changes.header = header;
          changes.new_key = new_key.data();
          return 0;
        },
        text);
    return done;
  } catch (...) {
    detail::fail_unexpected(text, "upgrade store");
    return -1;
  }
}

}  // namespace kel
