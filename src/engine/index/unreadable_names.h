// Whether a name that the index does not hold is absent, or may lie in a
// damaged record. The scan reads around damage: a damaged length byte or
// value_length is mended, and its record is indexed all the same; any other
// damaged stretch may be a record whose name no longer authenticates, and
// any name not in the index could be that one.
#pragma once

#include <string>
#include <vector>

#include "kel/store.h"

namespace kel::detail {

// For each stretch of the damage the last complete scan found
// (Store::damaged), whether it is not a mended part of an indexed record.
std::vector<bool> unreadable_regions(const Store& store);

// How the message of check_absence_known begins.
inline constexpr const char* kDamageMayHide = "Store file is damaged: the ";

// 0 when a name the complete index does not hold is absent; otherwise -1,
// and `text` says that the store is damaged, where, and that the name may
// be stored there.
int check_absence_known(const Store& store, std::string& text);

}  // namespace kel::detail
