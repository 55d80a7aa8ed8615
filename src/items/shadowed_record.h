// A record shadowed by an earlier record of the same name. The tool never
// writes a name twice (an add of a stored name is refused, a replace
// rewrites the store), so a second record of a name comes from elsewhere: a
// record copied in from another file of the same store, or an older one put
// back. Reads take the first record of a name; check reports every later one
// as damage, and repair leaves it out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/index/record_scan.h"
#include "kel/integrity_report.h"
#include "kel/store.h"

namespace kel::detail {

// Whether `record`, whose name authenticated as `name`, is not the record
// the store's complete index holds for that name; then `region` says where
// it lies and which record reads use. The index must have been built from
// the file scanned; a name it lacks (appended since) shadows nothing.
bool shadowed_record(const Store& store, const ScannedRecord& record, const std::string& name,
                     IntegrityReport::Region& region);

// Adds `region`, a whole shadowed record, to `damaged`, which lists regions
// in file order and apart. The scan may already have noted mended damage
// inside that record (its length byte or value length); the record's own
// region takes their place.
void add_shadowed(std::vector<IntegrityReport::Region>& damaged, IntegrityReport::Region region);

// Puts `damaged` back in file order, regions apart and within the file's
// `size` bytes: a shadowed record's region, taken from lengths the scan
// read around, may reach past the end of a cut file or past damage noted
// after it. Overlapping regions become one.
void settle_regions(std::vector<IntegrityReport::Region>& damaged, std::int64_t size);

}  // namespace kel::detail
