// Creating a store in a chosen format, telling a file's format, upgrading
// format 1 to format 2, and changing a store's password, Argon2id parameters
// or store key.
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
// Store::change_store_password, and with `options` (not null) new Argon2id
// parameters chosen from them for a format-2 store (see Safe::change_key).
int change_store_password(Store& store, const std::string& name,
                          const std::string& old_password, const std::string& new_password,
                          const StoreOptions* options, std::string& text);
// A new store key for the format-2 store `name`, in one rewrite, with the
// store's Argon2id parameters or, with `options`, new ones chosen from them
// (see Safe::rotate_key). `own` is the calling Safe's Store, left as it is.
int rotate_store_key(Store& own, const std::string& name, const std::string& old_password,
                     const std::string& new_password, const StoreOptions* options,
                     std::string& text);

}  // namespace kel::detail
