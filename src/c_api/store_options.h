// kel_store_options (kel/kel.h) as the kel::StoreOptions of the C++
// interface.
#pragma once

#include "kel/kel.h"
#include "kel/store_format.h"

namespace kel::c_api {

// Fills `out` from `in` (NULL: the defaults of kel_store_options_init),
// reading only the fields that in->size covers. False, with `out`
// unchanged, when that size is smaller than the first struct's.
bool to_store_options(const kel_store_options* in, kel::StoreOptions& out);

}  // namespace kel::c_api
