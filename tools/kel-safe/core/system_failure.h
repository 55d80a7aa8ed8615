// What a failed system call inside the library means to the user: one
// mapping from the error number, and the file the call concerned, to the
// tool's wording. A full disk, a missing folder, a store the user may not
// write and a descriptor lost by mistake each read as what they are,
// whichever library call met them.
#pragma once

#include <string>
#include <string_view>

#include <kel/status.h>

#include "status.h"

namespace kel::tool {

struct SystemFailure {
  Status status = kStoreError;
  std::string text;  // "" when the message names no system error the tool knows
};

// What system_failure adds when the failed call left the store file as it
// was. A caller whose earlier calls changed the store (an import in
// batches) words that part itself.
inline constexpr std::string_view kStoreUnchanged = "; the store is unchanged";

// The wording of the library's failure with `code` on the store file
// `store_path` when a system call caused it, from the error number and the
// write step the library recorded for it; text "" otherwise. Only `code`
// says whether a system call failed.
SystemFailure system_failure(kel::Status code, const std::string& store_path);

// The same for a failed write of a file of the user's: `path`, or standard
// output when it is "".
SystemFailure file_failure(kel::Status code, const std::string& path);

}  // namespace kel::tool
