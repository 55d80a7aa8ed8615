#include "password.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "status.h"
#include "streams.h"
#include "terminal.h"

extern char** environ;

namespace kel::tool {

namespace {

// Held for a session's whole life, until it is locked: in locked pages.
std::optional<LockedSecret> g_env_password;
std::optional<LockedSecret> g_env_new_password;
// A session was locked after it had the password from the environment.
bool g_env_password_locked_out = false;

// The first value of `name` in the environment (the one getenv gives), put
// into `first` with no other copy made. Every entry of that name is
// overwritten in the process's environment block itself, which is what
// /proc/PID/environ shows, and then removed.
void take_variable(const char* name, std::optional<LockedSecret>& first) {
  first.reset();
  const std::size_t name_length = strlen(name);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (strncmp(*entry, name, name_length) != 0 || (*entry)[name_length] != '=') {
      continue;
    }
    char* value = *entry + name_length + 1;
    const std::size_t length = strlen(value);
    if (!first) first.emplace(value, length);
    wipe(value, length);
  }
  unsetenv(name);
}

// Where no password may come from: an empty one opens nothing worth keeping.
Secret refuse_empty(Secret password, const std::string& what) {
  if (password.empty()) throw Failure(kRejected, "empty password from " + what);
  return password;
}

// One line from `fd`, read a byte at a time so that nothing after the line
// is consumed: the same descriptor can carry the old and the new password,
// or a password followed by the value to store.
Secret read_line(int fd, const std::string& what) {
  Secret line(128);
  for (;;) {
    char c = 0;
    const ssize_t n = read(fd, &c, 1);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Failure(kFileError,
                    "cannot read the password from " + what + ": " + strerror(errno));
    }
    if (n == 0 || c == '\n') break;
    if (line.size() == kMaxPassword) {
      throw Failure(kRejected, "the password from " + what + " is longer than " +
                                   std::to_string(kMaxPassword) + " bytes");
    }
    line.push_back(c);
    c = 0;
  }
  if (!line.empty() && line.str().back() == '\r') {
    Secret trimmed(line.size());
    trimmed.append(line.str().data(), line.size() - 1);
    line = std::move(trimmed);
  }
  if (line.empty()) throw Failure(kRejected, "empty password from " + what);
  return line;
}

// A descriptor that is a terminal is read as the terminal is: with a
// prompt and without echo.
Secret from_fd(int fd, const std::string& prompt) {
  if (isatty(fd) == 1) {
    Terminal terminal(fd);
    return terminal.read_hidden(prompt);
  }
  return read_line(fd, "descriptor " + std::to_string(fd));
}

// A password file that someone else owns or may write could hold a password
// of their choosing: a new store would be made, or an old one re-keyed, with
// a password they know. Such files are refused; readable ones are warned of.
Secret from_file(const std::string& path, bool quiet) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) {
    throw Failure(kFileError, "cannot open password file " + quoted(path) + ": " +
                                  strerror(errno));
  }
  struct stat info {};
  if (fstat(fd.get(), &info) != 0) {
    throw Failure(kFileError, "cannot examine password file " + quoted(path) + ": " +
                                  strerror(errno));
  }
  if (!S_ISCHR(info.st_mode)) {
    if (info.st_uid != geteuid()) {
      throw Failure(kRejected, "password file " + quoted(path) +
                                   " belongs to another user: refused");
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      throw Failure(kRejected, "password file " + quoted(path) +
                                   " may be written by other users: refused "
                                   "(chmod 600 it)");
    }
  }
  if (!quiet && S_ISREG(info.st_mode) && (info.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    note("warning: password file " + quoted(path) +
         " is readable by other users (chmod 600 it)");
  }
  return read_line(fd.get(), "file " + quoted(path));
}

Secret copy_of(const LockedSecret& secret) {
  Secret copy(secret.view().size() + 1);
  copy.append(secret.view().data(), secret.view().size());
  return copy;
}

Secret ask_new(const std::string& store_path, const char* first) {
  Terminal terminal("a password");
  Secret password =
      terminal.read_hidden(std::string(first) + " for " + quoted(store_path) + ": ");
  // Tell about every policy breach now rather than after the second prompt.
  const std::string breaches = policy_breaches(password.str());
  if (!breaches.empty()) {
    throw Failure(kRejected, "the new password is refused: " + breaches);
  }
  Secret again = terminal.read_hidden("Repeat it: ");
  if (!equal(password, again)) {
    throw Failure(kRejected, "the two passwords do not match");
  }
  return password;
}

}  // namespace

void take_password_environment() {
  take_variable("KEL_SAFE_PASSWORD", g_env_password);
  take_variable("KEL_SAFE_NEW_PASSWORD", g_env_new_password);
}

void forget_password_environment() {
  g_env_password.reset();
  g_env_new_password.reset();
}

void forget_password_environment_at_lock() {
  g_env_password_locked_out = g_env_password_locked_out || g_env_password.has_value();
  forget_password_environment();
}

Secret store_password(const PasswordOptions& options,
                      const std::string& store_path, bool for_new_store) {
  if (options.fd >= 0) {
    return refuse_empty(from_fd(options.fd, "Password for " + quoted(store_path) + ": "),
                        "descriptor " + std::to_string(options.fd));
  }
  if (!options.file.empty()) return from_file(options.file, options.quiet);
  if (g_env_password) return refuse_empty(copy_of(*g_env_password), "KEL_SAFE_PASSWORD");
  if (!have_terminal() && g_env_password_locked_out) {
    throw Failure(kUsage,
                  "the session is locked, and the password from KEL_SAFE_PASSWORD is "
                  "not kept past a lock: with no terminal to type it on, start the "
                  "session again");
  }
  if (!have_terminal()) {
    throw Failure(kUsage,
                  "no password given: use --password-file, --password-fd or "
                  "KEL_SAFE_PASSWORD, or run on a terminal");
  }
  if (for_new_store) return ask_new(store_path, "New password");
  Terminal terminal("a password");
  return refuse_empty(terminal.read_hidden("Password for " + quoted(store_path) + ": "),
                      "the terminal");
}

std::string password_source(const PasswordOptions& options) {
  // A password-and-key-file slot takes both: a failure may be either's.
  const std::string with_key_file =
      options.key_file.empty() ? "" : ", with the key file " + quoted(options.key_file);
  if (options.fd >= 0) return "from --password-fd " + std::to_string(options.fd) + with_key_file;
  if (!options.file.empty()) return "from --password-file " + quoted(options.file) + with_key_file;
  if (g_env_password) return "from KEL_SAFE_PASSWORD" + with_key_file;
  return "typed on the terminal" + with_key_file;
}

bool password_is_typed(const PasswordOptions& options) {
  return options.fd < 0 && options.file.empty() && !g_env_password && have_terminal();
}

Secret new_store_password(const PasswordOptions& options,
                          const std::string& store_path) {
  if (options.new_fd >= 0) {
    return refuse_empty(
        from_fd(options.new_fd, "New password for " + quoted(store_path) + ": "),
        "descriptor " + std::to_string(options.new_fd));
  }
  if (!options.new_file.empty()) return from_file(options.new_file, options.quiet);
  if (g_env_new_password) {
    return refuse_empty(copy_of(*g_env_new_password), "KEL_SAFE_NEW_PASSWORD");
  }
  if (!have_terminal()) {
    throw Failure(kUsage,
                  "no new password given: use --new-password-file, "
                  "--new-password-fd or KEL_SAFE_NEW_PASSWORD, or run on a "
                  "terminal");
  }
  return ask_new(store_path, "New password");
}

}  // namespace kel::tool
