// Creating a store in a chosen format, telling a file's format, and
// upgrading format 1 to format 2.
#pragma once

#include <string>

#include "kel/store.h"
#include "kel/store_format.h"

namespace kel::detail {

// Creates the store in the format `options` names (see StoreOptions);
// Store::create_store is this with the default options.
int create_store(Store& store, const StoreOptions& options, std::string& text);
// Reads which format the store file has, and format 2's Argon2id
// parameters, from its header; needs no password.
int format_info(Store& store, FormatInfo& info, std::string& text);
// Rewrites a format-1 store as format 2 (see Safe::upgrade).
int upgrade_store(Store& store, const StoreOptions& options, std::string& text);

}  // namespace kel::detail
