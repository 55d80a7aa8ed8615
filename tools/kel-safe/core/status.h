// Exit statuses of kel-safe and the one exception type its commands throw to
// end with a message. Each failure class has its own status so that scripts
// can tell "wrong password" from "no such entry" from "store damaged".
#pragma once

#include <kel/status.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kel::tool {

enum Status : int {
  kOk = 0,
  kFalse = 1,          // a false answer: exists (absent), verify (wrong password)
  kUsage = 2,          // bad command line, or no way to ask for a password
  kWrongPassword = 3,  // the password does not unlock the store
  kNotFound = 4,       // no entry of that name
  kExists = 5,         // the entry, the store file or the output file exists
  kRejected = 6,       // refused input: password policy, confirmation
                       // mismatch, entry name or value not allowed
  kStoreError = 7,     // store missing, unreadable, damaged or not writable
  kFileError = 8,      // a file of the user's (input, output, password file,
                       // standard input or output) could not be used
  kInternal = 9,       // anything else (out of memory, unexpected failure)
};

// The table printed by --help and in the manual page.
std::string_view status_table();

// Thrown by commands to stop with a status and a one-line message.
class Failure : public std::runtime_error {
 public:
  Failure(Status status, const std::string& message)
      : std::runtime_error(message), status_(status) {}
  Status status() const { return status_; }

 private:
  Status status_;
};

// The exit status of a failed library call that reported `code`. Only the
// code decides: the library's text is for people, and its wording may
// change.
Status classify(kel::Status code);

// What a failed library call means to the user, one wording per failure
// class whichever subcommand met it, with the library's own text after it
// in parentheses: "wrong password for '/x.safe' (Invalid password)". The
// library's text is only shown, never read; the tool's words come from
// `code` and from what the tool gave the call. The library's text is left
// out where the tool's says all of it. `store_path` is the store file,
// `name` the entry the call was given (none for a call on the store as a
// whole, or on many entries), `password_source` where the password came
// from ("from --password-fd 3"; may be empty). `status` receives the
// failure's exit status: classify()'s, refined by the system error behind
// it.
std::string explain(kel::Status code, std::string_view library_message,
                    const std::string& store_path, const std::optional<std::string>& name,
                    Status& status, const std::string& password_source = {});

// The rules of the password policy that `password` breaks, all of them, as
// one phrase ("it needs a digit and an upper-case letter"); "" when it
// keeps them all. Mirrors the library's check, which names only the first.
std::string policy_breaches(std::string_view password);

// Phrases shared by the library's and the tool's own refusals.
inline constexpr const char* kEmptyValue =
    "the value is empty: a value must hold at least one byte";

// A byte string made safe to print on a terminal, between single quotes:
// printable ASCII as is (\\ and \' escaped), valid UTF-8 text as is under
// a UTF-8 locale, every other byte as \xHH (shown_bytes.h).
std::string quoted(std::string_view bytes);

}  // namespace kel::tool
