// Checking a store file's records and repairing a damaged one; see
// Safe::check and Safe::repair.
#pragma once

#include <string>

#include "kel/integrity_report.h"
#include "kel/store.h"

namespace kel::detail {

int check(Store& store, IntegrityReport& report, std::string& error);
int repair(Store& store, IntegrityReport& report, std::string& error);

}  // namespace kel::detail
