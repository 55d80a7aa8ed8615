// Looking after a whole store through the C interface: its format, a
// password change, an upgrade, an integrity check.
#include "c_api/handle.h"
#include "c_api/store_options.h"
#include "store/secret.h"

using namespace kel::c_api;

namespace {

// The password's bytes as a string wiped when the call ends.
struct Password {
  std::string plain;
  kel::detail::StringWiper wiper{plain};
};

}  // namespace

extern "C" {

kel_status kel_safe_format(kel_safe* safe, int* version) {
  if (version != nullptr) *version = 0;
  return guarded(safe, [version](kel_safe& h) {
    if (version == nullptr) return refuse(h, KEL_INVALID_ARGUMENT, "No place for the version");
    std::string error;
    const int found = h.safe->format_version(error);
    if (found > 0) *version = found;
    return outcome(h, *h.safe, found > 0 ? 0 : -1, error);
  });
}

kel_status kel_safe_change_password(kel_safe* safe, const void* old_password,
                                    size_t old_password_length, const void* new_password,
                                    size_t new_password_length,
                                    const kel_store_options* options) {
  return guarded(safe, [&](kel_safe& h) {
    Password old_plain;
    Password new_plain;
    if (!as_string(old_password, old_password_length, old_plain.plain) ||
        !as_string(new_password, new_password_length, new_plain.plain)) {
      return refuse(h, KEL_INVALID_ARGUMENT, "No password");
    }
    std::string error;
    int changed = 0;
    if (options == nullptr) {
      changed = h.safe->change_key(h.path, old_plain.plain, new_plain.plain, error);
    } else {
      kel::StoreOptions chosen;
      if (!to_store_options(options, chosen)) {
        return refuse(h, KEL_INVALID_ARGUMENT, "Store options too small: use kel_store_options_init");
      }
      changed = h.safe->change_key(h.path, old_plain.plain, new_plain.plain, chosen, error);
    }
    const kel_status status = outcome(h, *h.safe, changed, error);
    // The old Safe keeps the old password, which opens nothing now.
    if (status == KEL_OK) h.safe = make_safe(h, new_plain.plain.data(), new_plain.plain.size());
    return status;
  });
}

kel_status kel_safe_upgrade(kel_safe* safe, const void* password, size_t password_length,
                            const kel_store_options* options) {
  return guarded(safe, [&](kel_safe& h) {
    if (password == nullptr && password_length != 0) {
      return refuse(h, KEL_INVALID_ARGUMENT, "No password");
    }
    kel::StoreOptions chosen;
    if (!to_store_options(options, chosen)) {
      return refuse(h, KEL_INVALID_ARGUMENT, "Store options too small: use kel_store_options_init");
    }
    // The C++ call reads any format but 3 as 2 (it predates format 3); here
    // a format is what it says, and an upgrade never makes format 1.
    if (chosen.format != 2 && chosen.format != 3) {
      return refuse(h, KEL_INVALID_ARGUMENT, "An upgrade makes format 2 or 3 (0: the newest)");
    }
    // An upgrade needs a Safe that still holds the password: the handle's
    // own has used it up opening the store. The fresh one then replaces it,
    // since the handle's knows only the old store key.
    auto fresh = make_safe(h, password == nullptr ? "" : password, password_length);
    std::string error;
    const kel_status status = outcome(h, *fresh, fresh->upgrade(chosen, error), error);
    if (status == KEL_OK) h.safe = std::move(fresh);
    return status;
  });
}

kel_status kel_safe_check(kel_safe* safe, uint64_t* intact, uint64_t* damaged) {
  if (intact != nullptr) *intact = 0;
  if (damaged != nullptr) *damaged = 0;
  return guarded(safe, [&](kel_safe& h) {
    kel::IntegrityReport report;
    std::string error;
    const kel_status ran = outcome(h, *h.safe, h.safe->check(report, error), error);
    if (ran != KEL_OK) return ran;
    if (intact != nullptr) *intact = report.intact;
    if (damaged != nullptr) *damaged = report.damaged.size() + report.failed_values.size();
    if (report.clean()) return KEL_OK;
    return refuse(h, KEL_DAMAGED, "The store is damaged: kel-safe check says where");
  });
}

}  // extern "C"
