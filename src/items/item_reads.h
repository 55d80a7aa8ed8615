// Reading items beyond the plain get/exists/list: into a descriptor, many at
// once, with their lengths, and the damage the last scan found. Each call
// opens the store first when it is not open, reads the index as current as
// the file, and returns 0 (or as stated), or -1 with the message in `error`.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kel/integrity_report.h"
#include "kel/progress.h"
#include "kel/store.h"

namespace kel::detail {

// Decrypts the value into `fd` in pieces; see Safe::get_entry_to_fd.
int get_item_to_fd(Store& store, const std::string& name, int fd, std::string& error,
                   const Progress& progress);
// Writes the value into `fd` only once it is known authentic; see
// Safe::get_entry_to_stream.
int get_item_to_stream(Store& store, const std::string& name, int fd, std::string& error);
// 1 stored, 0 not stored, -1 with the error text when it cannot be told.
int exists(Store& store, const std::string& name, std::string& error);
// See Safe::damaged_regions.
int damaged_regions(Store& store, std::vector<IntegrityReport::Region>& regions,
                    std::string& error);
// See Safe::list_entry_lengths.
int list_item_lengths(Store& store,
                      std::vector<std::pair<std::string, std::uint64_t>>& items,
                      std::string& error);
// values[i] receives the value of names[i] (what `values` held before is
// wiped); on -1 `values` is left as it was. See Safe::get_entries.
int get_items(Store& store, const std::vector<std::string>& names,
              std::vector<std::string>& values, std::string& error);

}  // namespace kel::detail
