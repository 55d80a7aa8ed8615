// A session: one password and one index build for many commands. The store
// is opened once; each command line then runs through the same command
// line as the one-shot program (Context::run_line), borrowing the open store.
// `kel-safe shell` is a session: interactive on a terminal (shell.cpp), a
// batch of framed results when standard input is not one (batch.cpp).
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"

namespace kel::tool {

class Session {
 public:
  // `ask_again`: whether a command on a locked session asks for the password
  // again (the shell, the batch); an agent never does: it ends instead.
  explicit Session(const Context& context, bool ask_again = true);

  // Opens the store with the password from wherever the user gives it
  // (asked on the terminal when typed). Throws a Failure when it does not
  // open; the session stays locked then.
  void unlock();
  // Whether the store file's header is no longer the one this session
  // unlocked: its password was changed, or another store (another key) took
  // its place. The open key must then not be used on the file: a record
  // sealed with it would be unreadable there.
  bool store_replaced() const;
  // Drops the open store: its key is wiped; the next command unlocks again.
  void lock();
  bool locked() const { return !safe_; }
  // The open store, or null when locked.
  kel::Safe* safe() const { return safe_.get(); }

  // Runs one command line given as words: "lock" locks, and forgets the
  // password KEL_SAFE_PASSWORD gave (terminal/password.h); anything else is a
  // subcommand of the tool, run on the store (unlocked first when locked).
  // `session_value` gives add its value when standard input carries the
  // commands; `quiet` leaves out the notes, as -q does. Returns the exit
  // status the one-shot program would have.
  int run(const std::vector<std::string>& words,
          std::function<Secret(const std::string&)> session_value = nullptr,
          bool quiet = false);

  const Context& context() const { return context_; }

 private:
  Context context_;
  bool ask_again_;
  SafeHandle safe_;
  std::string header_;  // the store file's header when it was unlocked
};

// The store file's header as it is now (the password hash and salt and the
// sealed store key; in format 3 its key slots, without the generation a
// rewrite changes); empty when it cannot be read.
std::string store_header(const std::string& path);

// Whether the words ask to leave the session ("exit" or "quit").
bool is_exit(const std::vector<std::string>& words);

// A duration such as "300", "90s", "5m" or "1h"; "0" means never. Throws a
// Failure (kUsage) naming `what` for anything else.
std::chrono::seconds parse_duration(std::string_view text,
                                    std::string_view what);

// The batch mode: commands from standard input, framed results on
// standard output. Returns the program's exit status.
int run_batch(Session& session);
// The interactive shell on the terminal; locks after `idle` without input
// (never when zero).
int run_shell(Session& session, std::chrono::seconds idle);

}  // namespace kel::tool
