// Where passwords come from. Never from the command line, where every user
// of the machine can read them: from a file, from an inherited descriptor,
// from the environment, or typed on the terminal without echo.
#pragma once

#include <string>

#include "secret.h"

namespace kel::tool {

struct PasswordOptions {
  std::string file;      // --password-file
  int fd = -1;           // --password-fd
  std::string new_file;  // --new-password-file (passwd)
  int new_fd = -1;       // --new-password-fd (passwd)
  bool quiet = false;    // no warnings about lax password files
  // What opens the store besides a password (store/key_source.h):
  std::string identity;  // --identity / KEL_SAFE_IDENTITY: no password then
  std::string key_file;  // --key-file / KEL_SAFE_KEY_FILE: with the password
};

// Moves KEL_SAFE_PASSWORD and KEL_SAFE_NEW_PASSWORD out of the environment
// into private buffers in locked memory (core/secret.h: LockedSecret) and
// wipes the environment's copies, so that neither child processes nor
// /proc/PID/environ see them. Call once, early.
void take_password_environment();

// Wipes the passwords taken from the environment: a process that has
// opened its store and lives on (the agent) keeps no password.
void forget_password_environment();

// The same when a session is locked (`lock`, or idle): the user expects the
// next command to ask for the password, so it is asked on the terminal, and
// without one refused with a word on why, never taken from the variable.
void forget_password_environment_at_lock();

// The store's password: from --password-fd, --password-file, then
// KEL_SAFE_PASSWORD, then a prompt on the terminal. `for_new_store` asks
// twice and checks the password policy before asking again.
Secret store_password(const PasswordOptions& options,
                      const std::string& store_path, bool for_new_store);

// True when store_password() will ask on the terminal: no descriptor, file
// or environment variable gives the password, and there is a terminal.
bool password_is_typed(const PasswordOptions& options);

// Where store_password() takes the password from, for messages: "from
// KEL_SAFE_PASSWORD", "from --password-file 'PATH'", "from --password-fd N"
// or "typed on the terminal".
std::string password_source(const PasswordOptions& options);

// The new password of `passwd`: --new-password-fd, --new-password-file,
// KEL_SAFE_NEW_PASSWORD, or asked twice on the terminal.
Secret new_store_password(const PasswordOptions& options,
                          const std::string& store_path);

// Longest password accepted from any source.
constexpr std::size_t kMaxPassword = 4096;

}  // namespace kel::tool
