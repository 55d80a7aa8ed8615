#include "items/shadowed_record.h"

#include <algorithm>
#include <cstdint>

#include "engine/records/record_codec.h"

namespace kel::detail {

bool shadowed_record(const Store& store, const ScannedRecord& record, const std::string& name,
                     IntegrityReport::Region& region) {
  const auto first = store.index.find(name);
  if (first == store.index.end() || first->second.value_offset == record.value_offset) {
    return false;
  }
  const long long first_start =
      codec::start_of(first->second.value_offset, static_cast<long>(name.size()));
  region.offset = record.start;
  region.length = record.end() - record.start;
  // Offsets only: the report's regions never carry a name.
  region.what = "a second record of the name of the record at offset " +
                std::to_string(first_start) + "; reads use that first record";
  return true;
}

void add_shadowed(std::vector<IntegrityReport::Region>& damaged, IntegrityReport::Region region) {
  while (!damaged.empty() && damaged.back().offset + damaged.back().length > region.offset) {
    const IntegrityReport::Region& inside = damaged.back();
    const std::int64_t end = std::max(inside.offset + inside.length, region.offset + region.length);
    region.offset = std::min(region.offset, inside.offset);
    region.length = end - region.offset;
    damaged.pop_back();
  }
  damaged.push_back(std::move(region));
}

void settle_regions(std::vector<IntegrityReport::Region>& damaged, std::int64_t size) {
  std::stable_sort(damaged.begin(), damaged.end(),
                   [](const IntegrityReport::Region& a, const IntegrityReport::Region& b) {
                     return a.offset < b.offset;
                   });
  std::vector<IntegrityReport::Region> settled;
  for (IntegrityReport::Region& region : damaged) {
    region.length = std::min(region.length, size - region.offset);
    if (region.length <= 0) continue;
    if (!settled.empty() && settled.back().offset + settled.back().length > region.offset) {
      IntegrityReport::Region& last = settled.back();
      last.length = std::max(last.offset + last.length, region.offset + region.length) -
                    last.offset;
      continue;
    }
    settled.push_back(std::move(region));
  }
  damaged = std::move(settled);
}

}  // namespace kel::detail
