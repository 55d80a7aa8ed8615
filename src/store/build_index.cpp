// The index: every record's name decrypted, mapped to where its value lies.
// Damaged records are read around (store/record_scan.h) and noted.
#include <errno.h>
#include <sys/stat.h>

#include <ctime>
#include <string>
#include <vector>

#include "kel/store.h"
#include "store/current_file.h"
#include "store/format.h"
#include "store/io.h"
#include "store/record_scan.h"

namespace kel {

int Store::build_index(const unsigned char* key, std::string& text) {
  try {
    struct stat status {};
    if (::fstat(store_fd, &status) != 0) {
      text = "Error, could not read store entry - " + io::error_text(errno);
      return -1;
    }
    // Records appended after this point belong to a later scan: the file's
    // identity taken now will differ from the file's by then.
    const off_t size = status.st_size;
    if (size <= format::kHeaderSize) {
      indexed_file = detail::identity_of(status);
      index_end = format::kHeaderSize;
      claims_end = format::kHeaderSize;
      unfinished_name_length = 0;
      damaged.clear();
      return 0;
    }
    detail::RecordScan scan(store_fd, size, key);
    std::vector<DamagedRegion> found_damage;
    auto on_record = [this](const detail::ScannedRecord& record,
                            const std::string& name) {
      Item item;
      item.value_offset = record.value_offset;
      item.value_length = record.value_length;
      // The first record of a name wins.
      index.try_emplace(name, std::move(item));
    };
    auto on_damage = [&found_damage](const detail::ScannedDamage& damage) {
      found_damage.push_back({static_cast<long>(damage.offset),
                              static_cast<long>(damage.length)});
    };
    if (scan.run(on_record, on_damage) != 0) {
      text = "Error, could not read store entry - " + io::error_text(errno);
      return -1;
    }
    timespec_get(&index_time, TIME_UTC);
    indexed_file = detail::identity_of(status);
    index_end = static_cast<long>(scan.end());
    claims_end = static_cast<long>(scan.claims_end());
    unfinished_name_length = scan.unfinished_name_length();
    damaged = std::move(found_damage);
    return 0;
  } catch (...) {
    text = "Unknown exception, could not build store index";
    return -1;
  }
}

}  // namespace kel
