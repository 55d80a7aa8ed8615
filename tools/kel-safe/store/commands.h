// The subcommands of kel-safe. Each returns the process's exit status or
// throws a Failure carrying one.
#pragma once

#include <kel/safe.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "password.h"

namespace kel {
class Safe;
}

namespace kel::tool {

struct Context {
  std::string store;  // as given: ".safe" is appended unless present
  PasswordOptions passwords;
  bool quiet = false;
  // Inside a session (shell, batch mode): the store the session opened once,
  // which every command borrows instead of asking for a password and
  // building an index of its own. Null outside a session.
  kel::Safe* session = nullptr;
  // In batch mode standard input carries the commands: add takes its value
  // from here instead, and nothing else may read standard input.
  std::function<Secret(const std::string& name)> session_value;
  // Runs one line of a session, the subcommand first, on `line` (its
  // session set): the program's own command line (command_line.h), handed
  // down to the sessions it starts, which know nothing of the parser.
  int (*run_line)(Context& line, const std::vector<std::string>& words) = nullptr;
};

// A Safe a command works on: its own, or the session's, borrowed.
struct SafeRelease {
  bool owned = true;
  void operator()(kel::Safe* safe) const;
};
using SafeHandle = std::unique_ptr<kel::Safe, SafeRelease>;

// `group`: keep the library's group access (0660 less the umask) instead
// of making the store private to its owner (0600). `generate_password`:
// make a random password that meets the policy and print it once.
// `format`: the store's format and Argon2id parameters (format 2 unless
// the command line asks for 1).
int cmd_create(const Context& context, bool group, bool generate_password = false,
               const kel::StoreOptions& format = kel::StoreOptions());
int cmd_verify(const Context& context);
// `rotate_key`: a new store key too, in one rewrite (format 2). `kdf`: new
// Argon2id parameters (format 2); none: the store's stay.
int cmd_passwd(const Context& context, bool drop_backup, bool rotate_key = false,
               const std::optional<kel::StoreOptions>& kdf = std::nullopt);
// What add does with a name that is stored already (or not).
enum class AddMode {
  add,             // refuse it
  replace,         // replace its value; refuse an absent name
  replace_or_add,  // replace its value, or add it
};
int cmd_add(const Context& context, const std::string& name,
            const std::string& file, AddMode mode = AddMode::add,
            bool drop_backup = false);
int cmd_get(const Context& context, const std::string& name,
            const std::string& output, bool force);
int cmd_exists(const Context& context, const std::string& name);
// The names under `prefix` (all when empty), sorted; `long_format` puts each
// value's length (from the index, nothing decrypted) and a tab before it.
// `escape` shows a name that holds a byte that could act on a terminal as
// $'...' with \xHH escapes (shown_bytes.h).
// `filter` keeps only the names it accepts, for `find`, whose name then
// heads the failures and notes.
struct NameFilter {
  std::string what = "ls";
  std::function<bool(const std::string& name)> keep;
};
int cmd_ls(const Context& context, bool json, bool null_separated,
           const std::string& prefix, bool long_format, bool escape,
           const NameFilter& filter = {});
// Several values at once, as a JSON object or dotenv lines; nothing is
// written before every one authenticated. `renames` holds VAR=NAME pairs
// that give --env a variable name for NAME (get_values.cpp).
int cmd_get_values(const Context& context, const std::vector<std::string>& names,
                   const std::vector<std::string>& renames, bool json);
int cmd_version();

// Shared with the subcommands in other files.
// Fails early, with a clear word, when there is no store file to work on.
void require_store(const Context& context);
// A Safe for the store whose password unlocks it, with the password read
// from wherever the user gave it (typed on the terminal, it may be retried).
// `what` names the subcommand and its object for a failure. Keeps the
// password in `kept` when given, else wipes the tool's copy. Inside a
// session it is the session's store, already open.
SafeHandle open_safe(const Context& context, const std::string& what,
                                     Secret* kept = nullptr);
// Throws a usage failure when standard input carries a session's commands,
// so that `what` cannot read it.
void claim_standard_input(const Context& context, const std::string& what);
// A Safe for the store file that store_file() names, with `password`.
std::unique_ptr<kel::Safe> make_safe(const Context& context, const Secret& password);
// Throws the failure of a library call, worded the same in every
// subcommand: "<what>: <what happened> (<the library's text>)". `code` is
// the call's status (Safe::status()), which alone says what happened;
// `store_path` is the store file, `name` the one entry the call was given
// (none for a call on the store, or on many entries).
[[noreturn]] void library_failure(const std::string& what, kel::Status code,
                                  const std::string& error, const std::string& store_path,
                                  const std::optional<std::string>& name = {},
                                  const std::string& password_source = {});
// Says where the backup of a changed store is and what it `holds`, or, when
// `drop`, deletes it.
void report_backup(const Context& context, const std::string& backup, bool drop,
                   const std::string& holds);

// The file a store name stands for: the name itself when it ends in
// ".safe", otherwise the name with ".safe" appended; but a copy the tool
// names beside a store ("STORE.safe.backup2") is that file itself, unless a
// file of its name plus ".safe" exists.
std::string store_file(const std::string& store);

// The file a store path stands for: the path, or the end of its chain of
// symbolic links. The library keeps its backups beside that file.
std::string real_store_file(const std::string& path);

// The store file and the names of its backups, beside the path and beside
// the file it links to: no output may be any of them.
std::vector<std::string> store_and_backups(const std::string& path);

// One line on a store's format and its Argon2id parameters, for create,
// upgrade and check.
std::string describe_format(const kel::FormatInfo& info);

// Names as a JSON array of strings. Names are raw bytes; bytes that do not
// form valid UTF-8 become U+FFFD.
std::string json_names(const std::vector<std::string>& names);
// Whether `bytes` are valid UTF-8 (no overlong forms, no surrogates).
bool valid_utf8(std::string_view bytes);

}  // namespace kel::tool
