// Identities through the C interface: making one, its public key, checking
// a public key's text. No handle: the status alone tells the caller.
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "c_api/handle.h"
#include "kel/key_slots.h"
#include "store/secret.h"

namespace {

// A public key's text into the caller's buffer, NUL-terminated, as
// kel.h promises: its length first, nothing copied when it does not fit.
kel_status give_public_key(const std::string& key, char* out, std::size_t capacity,
                           std::size_t* length) {
  if (length != nullptr) *length = key.size();
  if (key.size() >= capacity) return KEL_BUFFER_TOO_SMALL;
  std::memcpy(out, key.data(), key.size());
  out[key.size()] = '\0';
  return KEL_OK;
}

// The refusal of a buffer that cannot be what it says.
bool bad_buffer(const char* out, std::size_t capacity) {
  return out == nullptr && capacity != 0;
}

}  // namespace

extern "C" {

kel_status kel_generate_identity(kel_secret** identity, char* public_key, size_t capacity,
                                 size_t* length) {
  if (length != nullptr) *length = 0;
  if (identity == nullptr || bad_buffer(public_key, capacity)) return KEL_INVALID_ARGUMENT;
  *identity = nullptr;
  try {
    std::string text;
    kel::detail::StringWiper wiper(text);
    std::string key;
    std::string error;
    const kel::Status made = kel::generate_identity(text, key, error);
    if (made != kel::Status::ok) return static_cast<kel_status>(made);
    // The public key first: when it does not fit, no identity is handed out
    // that the caller could not name.
    const kel_status given = give_public_key(key, public_key, capacity, length);
    if (given != KEL_OK) return given;
    auto secret = std::make_unique<kel_secret>();
    secret->entry.set_value(text);
    *identity = secret.release();
    return KEL_OK;
  } catch (...) {
    return KEL_INTERNAL;
  }
}

kel_status kel_identity_public_key(const void* identity, size_t identity_length,
                                   char* public_key, size_t capacity, size_t* length) {
  if (length != nullptr) *length = 0;
  if (identity == nullptr || bad_buffer(public_key, capacity)) return KEL_INVALID_ARGUMENT;
  try {
    std::string text(static_cast<const char*>(identity), identity_length);
    kel::detail::StringWiper wiper(text);
    std::string key;
    std::string error;
    const kel::Status found = kel::identity_public_key(text, key, error);
    if (found != kel::Status::ok) return static_cast<kel_status>(found);
    return give_public_key(key, public_key, capacity, length);
  } catch (...) {
    return KEL_INTERNAL;
  }
}

kel_status kel_check_public_key(const char* public_key) {
  if (public_key == nullptr) return KEL_INVALID_ARGUMENT;
  try {
    std::string error;
    return static_cast<kel_status>(kel::check_public_key(public_key, error));
  } catch (...) {
    return KEL_INTERNAL;
  }
}

}  // extern "C"
