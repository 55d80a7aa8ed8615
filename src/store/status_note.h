// Library-internal: the status code that goes with the error text a call
// reports (kel/status.h).
//
// Every site that assigns an error text notes its code on the calling
// thread at the same time, with fail() or set_status(). A text built with
// io::error_text(n), or after io::record_error(n), needs no more: those
// note the code of the error number n (status_from_errno). The Safe call
// around it (interface/call_status.h) starts the thread at ok and, when it
// fails, hands the code noted last to Safe::status().
#pragma once

#include <string>
#include <utility>

#include "kel/status.h"
#include "store/status_note.h"
#include "store/write_step_note.h"

namespace kel::detail {

// The one place an error number becomes a code.
Status status_from_errno(int error_number) noexcept;

// Notes `code` as the code of the failure being reported on this thread.
void set_status(Status code) noexcept;
// The code noted last on this thread (ok when none since the Safe call began).
Status current_status() noexcept;

// error = message, with `code` noted beside it. Returns -1, the result of a
// failed call, so that a site may return it.
int fail(std::string& error, Status code, std::string message);

// "Unknown exception, could not " + what, as internal: the one text of an
// unexpected exception that a call catches, where no other is fixed.
int fail_unexpected(std::string& error, const char* what);

// Keeps the noted code and write step as they are across a call whose
// failure is ignored on purpose, so that the ignored failure does not stand
// for the call's own.
class KeepStatus {
 public:
  KeepStatus() noexcept : saved_(current_status()), step_(take_write_step()) {}
  KeepStatus(const KeepStatus&) = delete;
  KeepStatus& operator=(const KeepStatus&) = delete;
  ~KeepStatus() {
    set_status(saved_);
    restore_write_step(std::move(step_));
  }

 private:
  Status saved_;
  NotedStep step_;
};

}  // namespace kel::detail
