// Checking a store's integrity: the header (by opening the store), every
// name and every value, in one pass over the file with bounded memory. A
// second record of a name is damage too (items/shadowed_record.h): the
// index the store keeps anyway tells which record of a name is the first.
#include <errno.h>
#include <sys/stat.h>

#include "crypto/store_key.h"
#include "items/integrity.h"
#include "kel/store.h"
#include "env/env.h"
#include "engine/engine.h"
#include "engine/index/current_file.h"
#include "engine/keyring/binding.h"
#include "engine/keyring/header_v3.h"
#include "engine/records/format.h"
#include "engine/file/io.h"
#include "engine/index/record_scan.h"
#include "items/shadowed_record.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel {

int detail::check(Store& store, IntegrityReport& report, std::string& error) {
  try {
    report = IntegrityReport();
    if (detail::prepare_to_read(store, error) != 0) return -1;
    detail::SecretBytes<format::kKeySize> key;
    if (detail::get_store_key(store, key.data()) != 0) {
      detail::fail(error, Status::internal, "Could not get store key");
      return -1;
    }
    struct stat status {};
    if (detail::env().fstat(store.store_fd, &status) != 0) {
      error = "Could not read store data - " + io::error_text(errno);
      return -1;
    }
    detail::RecordScan scan(store.store_fd, status.st_size, key.data(), detail::binding_of(store));
    int read_error = 0;
    auto on_record = [&](const detail::ScannedRecord& record, const std::string& name) {
      if (read_error != 0) return;
      IntegrityReport::Region shadowed;
      if (detail::shadowed_record(store, record, name, shadowed)) {
        detail::add_shadowed(report.damaged, std::move(shadowed));  // never read: not intact
        return;
      }
      const int holds =
          scan.value_authenticates(record.value_offset, record.value_length, name);
      if (holds < 0) {
        read_error = errno;
      } else if (holds == 1) {
        ++report.intact;
      } else {
        report.failed_values.push_back(name);
      }
    };
    auto on_damage = [&report](const detail::ScannedDamage& damage) {
      report.damaged.push_back({damage.offset, damage.length, damage.what});
    };
    if (scan.run(on_record, on_damage) != 0) read_error = errno;
    if (read_error != 0) {
      error = "Could not read store data - " + io::error_text(read_error);
      return -1;
    }
    // Format 3: a key slot whose MAC fails under this store's key was
    // moved from another store or kept from before a key change; no
    // opening uses it, and it is reported where it lies.
    if (detail::binding_of(store).needs_value_tag()) {
      const std::vector<unsigned char>& header = store.engine->keys.v3_header;
      std::vector<detail::SlotFrame> slots;
      std::string ignored;
      if (detail::parse_v3_header(header, slots, ignored) == 0) {
        for (std::size_t i = 0; i < slots.size(); ++i) {
          if (detail::v3_slot_mac_holds(header, slots[i], key.data())) continue;
          report.damaged.push_back(
              {static_cast<std::int64_t>(slots[i].offset),
               static_cast<std::int64_t>(slots[i].length),
               "key slot " + std::to_string(i) +
                   " does not belong to this store's key (moved from another store, or "
                   "kept from before a key change): it is never used"});
        }
      }
    }
    if (scan.stop() == detail::ScanStop::interrupted_append) {
      report.unfinished_append = status.st_size - scan.end();
      report.unfinished_append_complete = scan.unfinished_name_length() != 0;
    }
    detail::settle_regions(report.damaged, status.st_size);
    return 0;
  } catch (...) {
    detail::fail_unexpected(error, "check the store");
    return -1;
  }
}

}  // namespace kel
