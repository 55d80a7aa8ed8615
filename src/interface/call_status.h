// Library-internal: how a Safe call hands the code of its outcome to
// Safe::status().
//
// Each Safe call that can fail opens a SafeCall first, which starts the
// thread's noted code at ok (store/status_note.h), and passes its result
// through it: a failure keeps the code the failing site noted, a success
// is ok, whatever codes of failures recovered from were noted on the way.
#pragma once

#include "kel/status.h"

namespace kel {

class Safe;

namespace detail {

class SafeCall {
 public:
  explicit SafeCall(const Safe& safe) noexcept;
  SafeCall(const SafeCall&) = delete;
  SafeCall& operator=(const SafeCall&) = delete;

  // For the calls that return 0 (or a count) on success, -1 on failure.
  int result(int result) noexcept;
  // For a yes/no answer that is false only on failure (key_verified).
  bool verdict(bool yes) noexcept;
  // For exists(name): false is not_found, unless a failure kept the store
  // from answering, which keeps its own code.
  bool found(bool yes) noexcept;

 private:
  void keep(Status code) noexcept;
  const Safe& safe_;
};

// The code of the last call on `safe` that gave one: ok when none failed.
Status status_of(const Safe& safe) noexcept;
// Drops what is kept for `safe`, which is being destroyed.
void forget(const Safe& safe) noexcept;

}  // namespace detail

}  // namespace kel
