// Reading, storing, testing, removing and renaming entries through the C
// interface. Every copy of a value made here is wiped: the Entry that
// carries it wipes its own buffer, and the strings built from the caller's
// bytes are wiped when the call ends.
#include <cstring>

#include "c_api/handle.h"
#include "kel/entry.h"
#include "store/secret.h"

using namespace kel::c_api;

namespace {

// The name's bytes as a string, or the refusal of a NULL name.
#define KEL_NAME_OR_REFUSE(h, bytes, length, out)                      \
  std::string out;                                                     \
  if (!as_string(bytes, length, out)) {                                \
    return refuse(h, KEL_INVALID_ARGUMENT, "Invalid entry name");      \
  }

// Reads the value of `name` into `entry`.
kel_status read_value(kel_safe& h, const void* name, std::size_t length, kel::Entry& entry) {
  KEL_NAME_OR_REFUSE(h, name, length, plain_name)
  entry.set_name(plain_name);
  std::string error;
  const int read = h.safe->get_entry(entry, error);
  return outcome(h, *h.safe, read, error);
}

// An Entry with the caller's name and value, or a refusal of NULL bytes.
kel_status make_entry(kel_safe& h, const void* name, std::size_t name_length, const void* value,
                      std::size_t value_length, kel::Entry& entry) {
  KEL_NAME_OR_REFUSE(h, name, name_length, plain_name)
  std::string plain_value;
  kel::detail::StringWiper wiper(plain_value);
  if (!as_string(value, value_length, plain_value)) {
    return refuse(h, KEL_INVALID_ARGUMENT, "Invalid entry value");
  }
  entry.set_name(plain_name);
  entry.set_value(plain_value);
  return KEL_OK;
}

}  // namespace

extern "C" {

kel_status kel_safe_get(kel_safe* safe, const void* name, size_t name_length, void* buffer,
                        size_t capacity, size_t* length) {
  return guarded(safe, [&](kel_safe& h) {
    if (length == nullptr || (buffer == nullptr && capacity != 0)) {
      return refuse(h, KEL_INVALID_ARGUMENT, "No length or buffer to read into");
    }
    *length = 0;
    kel::Entry entry;
    const kel_status read = read_value(h, name, name_length, entry);
    if (read != KEL_OK) return read;
    *length = entry.length();
    if (entry.length() > capacity) {
      return refuse(h, KEL_BUFFER_TOO_SMALL, "The buffer is shorter than the value");
    }
    std::memcpy(buffer, entry.raw_value(), entry.length());
    return KEL_OK;
  });
}

kel_status kel_safe_get_secret(kel_safe* safe, const void* name, size_t name_length,
                               kel_secret** out) {
  if (out != nullptr) *out = nullptr;
  return guarded(safe, [&](kel_safe& h) {
    if (out == nullptr) return refuse(h, KEL_INVALID_ARGUMENT, "No place for the secret");
    auto secret = std::make_unique<kel_secret>();
    const kel_status read = read_value(h, name, name_length, secret->entry);
    if (read == KEL_OK) *out = secret.release();
    return read;
  });
}

const unsigned char* kel_secret_data(const kel_secret* secret) {
  return secret == nullptr ? nullptr : secret->entry.raw_value();
}

size_t kel_secret_size(const kel_secret* secret) {
  return secret == nullptr ? 0 : secret->entry.length();
}

void kel_secret_free(kel_secret* secret) { delete secret; }

kel_status kel_safe_get_fd(kel_safe* safe, const void* name, size_t name_length, int fd) {
  return guarded(safe, [&](kel_safe& h) {
    KEL_NAME_OR_REFUSE(h, name, name_length, plain_name)
    std::string error;
    return outcome(h, *h.safe, h.safe->get_entry_to_stream(plain_name, fd, error), error);
  });
}

kel_status kel_safe_add(kel_safe* safe, const void* name, size_t name_length, const void* value,
                        size_t value_length) {
  return guarded(safe, [&](kel_safe& h) {
    kel::Entry entry;
    const kel_status made = make_entry(h, name, name_length, value, value_length, entry);
    if (made != KEL_OK) return made;
    std::string error;
    return outcome(h, *h.safe, h.safe->add_entry(entry, error), error);
  });
}

kel_status kel_safe_replace(kel_safe* safe, const void* name, size_t name_length,
                            const void* value, size_t value_length) {
  return guarded(safe, [&](kel_safe& h) {
    kel::Entry entry;
    const kel_status made = make_entry(h, name, name_length, value, value_length, entry);
    if (made != KEL_OK) return made;
    std::string error;
    return outcome(h, *h.safe, h.safe->replace_entry(entry, error), error);
  });
}

kel_status kel_safe_add_fd(kel_safe* safe, const void* name, size_t name_length, int fd) {
  return guarded(safe, [&](kel_safe& h) {
    KEL_NAME_OR_REFUSE(h, name, name_length, plain_name)
    std::string error;
    return outcome(h, *h.safe, h.safe->add_entry_from_fd(plain_name, fd, error), error);
  });
}

kel_status kel_safe_set_fd(kel_safe* safe, const void* name, size_t name_length, int fd) {
  return guarded(safe, [&](kel_safe& h) {
    KEL_NAME_OR_REFUSE(h, name, name_length, plain_name)
    std::string error;
    return outcome(h, *h.safe, h.safe->set_entry_from_fd(plain_name, fd, error), error);
  });
}

kel_status kel_safe_exists(kel_safe* safe, const void* name, size_t name_length) {
  return guarded(safe, [&](kel_safe& h) {
    KEL_NAME_OR_REFUSE(h, name, name_length, plain_name)
    std::string error;
    const int stored = h.safe->exists(plain_name, error);
    if (stored == 0) return refuse(h, KEL_NOT_FOUND, "Entry not found");
    return outcome(h, *h.safe, stored == 1 ? 0 : -1, error);
  });
}

kel_status kel_safe_remove(kel_safe* safe, const void* name, size_t name_length) {
  return guarded(safe, [&](kel_safe& h) {
    KEL_NAME_OR_REFUSE(h, name, name_length, plain_name)
    std::string error;
    return outcome(h, *h.safe, h.safe->remove_entry(plain_name, error), error);
  });
}

kel_status kel_safe_rename(kel_safe* safe, const void* old_name, size_t old_name_length,
                           const void* new_name, size_t new_name_length) {
  return guarded(safe, [&](kel_safe& h) {
    KEL_NAME_OR_REFUSE(h, old_name, old_name_length, plain_old)
    KEL_NAME_OR_REFUSE(h, new_name, new_name_length, plain_new)
    std::string error;
    return outcome(h, *h.safe, h.safe->rename_entry(plain_old, plain_new, error), error);
  });
}

}  // extern "C"
