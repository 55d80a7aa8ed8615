// Key slots through the C interface: choosing what opens a handle's store
// (an identity, a key file), adding slots and removing one. Every copy of
// an identity or a password made here is wiped when the call ends.
#include "c_api/handle.h"
#include "store/secret.h"

using namespace kel::c_api;

namespace {

// Bytes a caller passed that hold a secret, as a string wiped with itself.
struct Plain {
  std::string text;
  kel::detail::StringWiper wiper{text};
};

// A NUL-terminated label; NULL is no label.
std::string label_of(const char* label) { return label == nullptr ? std::string() : label; }

}  // namespace

extern "C" {

kel_status kel_safe_use_identity(kel_safe* safe, const void* identity, size_t identity_length) {
  return guarded(safe, [&](kel_safe& h) {
    Plain text;
    if (identity == nullptr || !as_string(identity, identity_length, text.text)) {
      return refuse(h, KEL_INVALID_ARGUMENT, "No identity");
    }
    std::string error;
    return outcome(h, *h.safe, h.safe->use_identity(text.text, error), error);
  });
}

kel_status kel_safe_use_identity_file(kel_safe* safe, const char* path) {
  return guarded(safe, [&](kel_safe& h) {
    if (path == nullptr) return refuse(h, KEL_INVALID_ARGUMENT, "No identity file");
    std::string error;
    return outcome(h, *h.safe, h.safe->use_identity_file(path, error), error);
  });
}

kel_status kel_safe_use_key_file(kel_safe* safe, const char* path) {
  return guarded(safe, [&](kel_safe& h) {
    if (path == nullptr) return refuse(h, KEL_INVALID_ARGUMENT, "No key file");
    std::string error;
    return outcome(h, *h.safe, h.safe->use_key_file(path, error), error);
  });
}

kel_status kel_safe_grant_password(kel_safe* safe, const void* password, size_t password_length,
                                   const char* label) {
  return guarded(safe, [&](kel_safe& h) {
    Plain plain;
    if (!as_string(password, password_length, plain.text)) {
      return refuse(h, KEL_INVALID_ARGUMENT, "No password");
    }
    std::string error;
    return outcome(h, *h.safe, h.safe->grant_password(plain.text, label_of(label), error),
                   error);
  });
}

kel_status kel_safe_grant_key_file(kel_safe* safe, const void* password, size_t password_length,
                                   const char* key_file_path, const char* label) {
  return guarded(safe, [&](kel_safe& h) {
    Plain plain;
    if (!as_string(password, password_length, plain.text)) {
      return refuse(h, KEL_INVALID_ARGUMENT, "No password");
    }
    if (key_file_path == nullptr) return refuse(h, KEL_INVALID_ARGUMENT, "No key file");
    std::string error;
    return outcome(
        h, *h.safe,
        h.safe->grant_key_file(plain.text, key_file_path, label_of(label), error), error);
  });
}

kel_status kel_safe_grant_recipient(kel_safe* safe, const char* public_key, const char* label) {
  return guarded(safe, [&](kel_safe& h) {
    if (public_key == nullptr) return refuse(h, KEL_INVALID_ARGUMENT, "No public key");
    std::string error;
    return outcome(h, *h.safe, h.safe->grant_recipient(public_key, label_of(label), error),
                   error);
  });
}

kel_status kel_safe_revoke_slot(kel_safe* safe, size_t index) {
  return guarded(safe, [index](kel_safe& h) {
    std::string error;
    return outcome(h, *h.safe, h.safe->revoke_slot(index, error), error);
  });
}

}  // extern "C"
