// What lies behind the C interface's opaque handles (kel/kel.h), and the
// few steps every C call shares: checking its arguments, turning a
// kel::Safe result into a status and a message, and keeping exceptions
// from crossing into C.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <string>

#include "kel/entry.h"
#include "kel/kel.h"
#include "kel/safe.h"

// One store and its password, as kel::Safe holds them, with the message of
// the last call. `path` is kept so that a password change or an upgrade can
// put a fresh kel::Safe in place of the one whose password is now stale.
struct kel_safe {
  std::string path;
  std::unique_ptr<kel::Safe> safe;
  std::string error;
  unsigned kdf_threads = 0;
  unsigned scan_threads = 0;
};

// A value (or an identity's text) the library holds for a C caller: the
// Entry wipes it when freed.
struct kel_secret {
  kel::Entry entry;
};

namespace kel::c_api {

// The format a store gets when the caller names none (format 0): the
// newest this library writes, which is what the tool creates by default.
inline constexpr int kNewestFormat = 3;

// A kel::Safe on `path` with the password's bytes, given the handle's
// thread settings. The temporary copy of the password is wiped here; the
// Safe wipes its own.
std::unique_ptr<kel::Safe> make_safe(const kel_safe& handle, const void* password,
                                     std::size_t length);

// The status of a kel::Safe call that returned `result` (0 on success) with
// the error text `error`, noted on the handle: its message becomes the
// handle's ("" on success).
kel_status outcome(kel_safe& handle, const kel::Safe& safe, int result, const std::string& error);

// A failure found before any kel::Safe call: `message` becomes the
// handle's, and `code` is returned.
kel_status refuse(kel_safe& handle, kel_status code, const char* message);

// Bytes and a length as the std::string the C++ interface takes; false
// when `bytes` is NULL but `length` is not 0.
bool as_string(const void* bytes, std::size_t length, std::string& out);

// Runs `body` (which returns a kel_status) on a handle that is not NULL
// and holds a Safe (one whose making was refused holds none), and turns
// any exception into KEL_INTERNAL with a message: nothing may unwind into
// a C caller.
template <typename Body>
kel_status guarded(kel_safe* handle, Body&& body) noexcept {
  if (handle == nullptr) return KEL_INVALID_ARGUMENT;
  if (!handle->safe) return refuse(*handle, KEL_INVALID_ARGUMENT, "The handle has no store");
  try {
    return body(*handle);
  } catch (const std::bad_alloc&) {
    return refuse(*handle, KEL_INTERNAL, "Out of memory");
  } catch (...) {
    return refuse(*handle, KEL_INTERNAL, "Unexpected exception");
  }
}

}  // namespace kel::c_api
