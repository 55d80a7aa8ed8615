// Creating a new store through the C interface.
#include "c_api/handle.h"
#include "c_api/store_options.h"

using namespace kel::c_api;

extern "C" kel_status kel_safe_create(kel_safe** out, const char* path, const void* password,
                                      size_t password_length, const kel_store_options* options) {
  const kel_status made = kel_safe_new(out, path, password, password_length);
  if (made != KEL_OK) return made;
  return guarded(*out, [options](kel_safe& h) {
    kel::StoreOptions chosen;
    if (!to_store_options(options, chosen)) {
      return refuse(h, KEL_INVALID_ARGUMENT, "Store options too small: use kel_store_options_init");
    }
    std::string error;
    const int created = h.safe->create_safe(chosen, error);
    // On success the C++ text names the new file; the C message is "" then.
    return outcome(h, *h.safe, created, error);
  });
}
