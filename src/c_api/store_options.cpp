// The options of a new store, an upgrade or a password change, in C.
#include "c_api/store_options.h"

#include <cstddef>

#include "c_api/handle.h"

namespace kel::c_api {

namespace {

// The struct as this header first had it: a caller built against it sets
// every field up to kdf_time_ms. Fields added later go after it, and are
// read only when the caller's size covers them.
constexpr std::size_t kFirstSize = offsetof(kel_store_options, kdf_time_ms) + sizeof(uint32_t);

}  // namespace

bool to_store_options(const kel_store_options* in, kel::StoreOptions& out) {
  kel_store_options defaults;
  if (in == nullptr) {
    kel_store_options_init(&defaults);
    in = &defaults;
  }
  if (in->size < kFirstSize) return false;
  out.format = in->format == 0 ? kNewestFormat : in->format;
  out.kdf_memory_kib = in->kdf_memory_kib;
  out.kdf_passes = in->kdf_passes;
  // 0 is the default in C for every number, as kel_store_options_init
  // leaves it; the C++ struct spells out these two defaults.
  out.kdf_lanes = in->kdf_lanes == 0 ? kel::StoreOptions().kdf_lanes : in->kdf_lanes;
  out.kdf_time_ms = in->kdf_time_ms == 0 ? kel::StoreOptions().kdf_time_ms : in->kdf_time_ms;
  return true;
}

}  // namespace kel::c_api

extern "C" kel_status kel_store_options_init(kel_store_options* options) {
  if (options == nullptr) return KEL_INVALID_ARGUMENT;
  *options = kel_store_options{};
  options->size = sizeof(kel_store_options);
  return KEL_OK;
}
