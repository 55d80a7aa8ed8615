// What opens a store besides a password alone: an identity, which opens a
// recipient slot with no password at all (--identity FILE or
// KEL_SAFE_IDENTITY), or a key file, which opens a password-and-key-file
// slot together with the password (--key-file FILE or KEL_SAFE_KEY_FILE).
// Every Safe the tool opens an existing store with is given it here; a
// store being created, or only asked for its format, is not.
#pragma once

#include <string>

#include <kel/status.h>

#include "password.h"

namespace kel {
class Safe;
}

namespace kel::tool {

// Whether the store opens with no password: an identity was given.
bool opens_with_identity(const PasswordOptions& options);

// Gives `safe` the identity or the key file of `options`, when one was
// given (nothing otherwise), before the Safe first uses the store. Throws a
// Failure headed by `what`: kFileError when the file cannot be read,
// kRejected when it holds no identity or (a key file) is empty. An identity
// file that others may read is warned of: it alone opens the store.
void use_key_source(kel::Safe& safe, const PasswordOptions& options, const std::string& what);

// The failure of opening `store_path` as `options` say (with or without
// an identity or key file), worded from the call's status `code` like
// library_failure (commands.h), which it calls for every status that is
// not about the identity or key file.
[[noreturn]] void open_failure(const std::string& what, kel::Status code,
                               const std::string& error, const std::string& store_path,
                               const PasswordOptions& options);

}  // namespace kel::tool
