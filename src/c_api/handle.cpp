// The C interface's handles: making one, checking its password, closing
// it, its message and thread settings, and the status names.
#include "c_api/handle.h"

#include "store/secret.h"

// The C codes are kel::Status's, value for value: a C caller and a C++
// caller of the same library read the same numbers.
#define KEL_SAME_CODE(c_code, cpp_code) \
  static_assert(static_cast<int>(c_code) == static_cast<int>(kel::Status::cpp_code))
KEL_SAME_CODE(KEL_OK, ok);
KEL_SAME_CODE(KEL_NOT_FOUND, not_found);
KEL_SAME_CODE(KEL_STORE_NOT_FOUND, store_not_found);
KEL_SAME_CODE(KEL_EXISTS, exists);
KEL_SAME_CODE(KEL_WRONG_PASSWORD, wrong_password);
KEL_SAME_CODE(KEL_NOT_A_STORE, not_a_store);
KEL_SAME_CODE(KEL_DAMAGED, damaged);
KEL_SAME_CODE(KEL_NO_SPACE, no_space);
KEL_SAME_CODE(KEL_PERMISSION, permission);
KEL_SAME_CODE(KEL_INVALID_ARGUMENT, invalid_argument);
KEL_SAME_CODE(KEL_TOO_BIG, too_big);
KEL_SAME_CODE(KEL_CHANGED, changed);
KEL_SAME_CODE(KEL_IO_ERROR, io_error);
KEL_SAME_CODE(KEL_CALLER_FILE, caller_file);
KEL_SAME_CODE(KEL_INTERNAL, internal);
#undef KEL_SAME_CODE

namespace kel::c_api {

std::unique_ptr<kel::Safe> make_safe(const kel_safe& handle, const void* password,
                                     std::size_t length) {
  std::string plain(static_cast<const char*>(password), length);
  detail::StringWiper wiper(plain);
  auto safe = std::make_unique<kel::Safe>(handle.path, plain);
  safe->set_kdf_threads(handle.kdf_threads);
  safe->set_scan_threads(handle.scan_threads);
  return safe;
}

kel_status outcome(kel_safe& handle, const kel::Safe& safe, int result, const std::string& error) {
  if (result == 0) {
    handle.error.clear();
    return KEL_OK;
  }
  const kel::Status code = safe.status();
  handle.error = error;
  // A failure the library gave no code for is still a failure.
  return code == kel::Status::ok ? KEL_INTERNAL : static_cast<kel_status>(code);
}

kel_status refuse(kel_safe& handle, kel_status code, const char* message) {
  try {
    handle.error = message;
  } catch (...) {
    handle.error.clear();  // no memory for the message: the code says enough
  }
  return code;
}

bool as_string(const void* bytes, std::size_t length, std::string& out) {
  if (bytes == nullptr) {
    out.clear();
    return length == 0;
  }
  out.assign(static_cast<const char*>(bytes), length);
  return true;
}

namespace {

// kel_safe_new. A handle whose arguments are refused is still handed out,
// without a Safe, so that kel_safe_error can say what was wrong; every
// later call on it is refused.
kel_status new_handle(kel_safe** out, const char* path, const void* password,
                      std::size_t length) noexcept {
  if (out == nullptr) return KEL_INVALID_ARGUMENT;
  *out = nullptr;
  auto* handle = new (std::nothrow) kel_safe;
  if (handle == nullptr) return KEL_INTERNAL;
  *out = handle;
  if (path == nullptr) return refuse(*handle, KEL_INVALID_ARGUMENT, "No store path");
  if (password == nullptr && length != 0) {
    return refuse(*handle, KEL_INVALID_ARGUMENT, "No password");
  }
  try {
    handle->path = path;
    handle->safe = make_safe(*handle, password == nullptr ? "" : password, length);
    return KEL_OK;
  } catch (...) {
    handle->safe.reset();
    return refuse(*handle, KEL_INTERNAL, "Out of memory");
  }
}

}  // namespace

}  // namespace kel::c_api

using namespace kel::c_api;

extern "C" {

const char* kel_status_name(kel_status code) {
  if (code == KEL_BUFFER_TOO_SMALL) return "buffer_too_small";
  return kel::status_name(static_cast<kel::Status>(code));
}

kel_status kel_safe_new(kel_safe** out, const char* path, const void* password,
                        size_t password_length) {
  return new_handle(out, path, password, password_length);
}

kel_status kel_safe_verify(kel_safe* safe) {
  return guarded(safe, [](kel_safe& h) {
    std::string error;
    const bool verified = h.safe->key_verified(error);
    return outcome(h, *h.safe, verified ? 0 : -1, error);
  });
}

kel_status kel_safe_open(kel_safe** out, const char* path, const void* password,
                         size_t password_length) {
  const kel_status made = kel_safe_new(out, path, password, password_length);
  if (made != KEL_OK) return made;
  return kel_safe_verify(*out);
}

void kel_safe_close(kel_safe* safe) { delete safe; }

const char* kel_safe_error(const kel_safe* safe) {
  return safe == nullptr ? "" : safe->error.c_str();
}

kel_status kel_safe_set_kdf_threads(kel_safe* safe, unsigned threads) {
  return guarded(safe, [threads](kel_safe& h) {
    h.kdf_threads = threads;
    h.safe->set_kdf_threads(threads);
    return KEL_OK;
  });
}

kel_status kel_safe_set_scan_threads(kel_safe* safe, unsigned threads) {
  return guarded(safe, [threads](kel_safe& h) {
    h.scan_threads = threads;
    h.safe->set_scan_threads(threads);
    return KEL_OK;
  });
}

}  // extern "C"
