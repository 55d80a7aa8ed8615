#include "engine/index/unreadable_names.h"

#include <unordered_set>

#include "engine/engine.h"
#include "engine/records/format.h"
#include "engine/records/record_codec.h"
#include "store/status_note.h"

namespace kel::detail {

std::vector<bool> unreadable_regions(const Store& store) {
  std::vector<bool> unreadable;
  if (store.engine->index.damaged.empty()) return unreadable;
  // Mended damage is a record's length byte (1 byte at its start) or its
  // value_length (the 4 bytes before its value); the record is indexed.
  std::unordered_set<long> starts;
  std::unordered_set<long> lengths;
  starts.reserve(store.index.size());
  lengths.reserve(store.index.size());
  for (const auto& [name, item] : store.index) {
    const long value_offset = static_cast<long>(item.value_offset);
    starts.insert(static_cast<long>(codec::start_of(value_offset, static_cast<long>(name.size()))));
    lengths.insert(value_offset - codec::kValueLengthSize);
  }
  for (const detail::DamagedRegion& region : store.engine->index.damaged) {
    const bool mended = (region.length == 1 && starts.count(region.offset) != 0) ||
                        (region.length == 4 && lengths.count(region.offset) != 0);
    unreadable.push_back(!mended);
  }
  return unreadable;
}

int check_absence_known(const Store& store, std::string& text) {
  const std::vector<bool> unreadable = unreadable_regions(store);
  std::size_t i = 0;
  while (i < unreadable.size() && !unreadable[i]) ++i;
  if (i == unreadable.size()) return 0;
  const detail::DamagedRegion* region = &store.engine->index.damaged[i];
  detail::fail(text, Status::damaged,
               kDamageMayHide + std::to_string(region->length) +
                   " bytes at offset " + std::to_string(region->offset) +
                   " hold no record that can be read, and the entry may be "
                   "stored there; "
                   "repair the store");
  return -1;
}

}  // namespace kel::detail
