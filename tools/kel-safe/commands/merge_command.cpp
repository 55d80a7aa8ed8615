// kel-safe merge OTHER: brings another store's entries into this one, in one
// rewrite of this store (all or nothing, the old file kept as the backup of
// a rewrite). OTHER is only read. A name only in OTHER is added; one whose
// values differ keeps this store's value (OTHER's with --prefer theirs) and
// the other value is stored beside it as a conflict entry, reported by name
// (store_merge.h). When there is nothing to bring, nothing is written.
//
// OTHER's password: --other-password-file; else the key that opened this
// store (its password, identity or key file), when it opens OTHER too
// (KEL_SAFE_PASSWORD thus serves both); else it is asked on the terminal.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <ctime>
#include <memory>
#include <string>

#include "key_source.h"
#include "password.h"
#include "status.h"
#include "store_merge.h"
#include "streams.h"
#include "subcommand.h"
#include "terminal.h"

namespace kel::tool {

namespace {

constexpr int kTries = 3;

struct MergeArgs {
  std::string other;
  std::string prefer = "ours";
  std::string other_password_file;
  bool drop_backup = false;
};

struct stat file_status(const std::string& path, const std::string& shown) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) throw Failure(kStoreError, "merge: no store at " + tool::quoted(shown));
    throw Failure(kStoreError, "merge: cannot use " + tool::quoted(shown) + ": " + strerror(errno));
  }
  if (S_ISDIR(info.st_mode)) {
    throw Failure(kStoreError, "merge: " + tool::quoted(shown) + " is a directory, not a store");
  }
  return info;
}

// OTHER opened with its password (see the top). `ours` is the password that
// opened this store; empty inside a session, which keeps none.
std::unique_ptr<kel::Safe> open_other(const Context& context, const MergeArgs& args,
                                      const std::string& path, const Secret& ours) {
  std::string error;
  if (!args.other_password_file.empty()) {
    PasswordOptions given;
    given.file = args.other_password_file;
    given.quiet = context.passwords.quiet;
    auto safe = safe_at(path, store_password(given, path, false));
    if (!safe->key_verified(error)) {
      library_failure("merge", safe->status(), error, path, {},
                      "from --other-password-file " + tool::quoted(args.other_password_file));
    }
    return safe;
  }
  // The identity or key file that opened this store is tried on OTHER too
  // (a copy of this store, or another the same key was granted).
  if (!ours.empty() || opens_with_identity(context.passwords)) {
    auto safe = safe_at(path, ours);
    use_key_source(*safe, context.passwords, "merge");
    if (safe->key_verified(error)) return safe;
    // A store of format 1 or 2 has no slot for an identity or key file.
    const bool no_slots = safe->status() == kel::Status::invalid_argument &&
                          (opens_with_identity(context.passwords) ||
                           !context.passwords.key_file.empty());
    if (safe->status() != kel::Status::wrong_password && !no_slots) {
      library_failure("merge", safe->status(), error, path);
    }
  }
  if (!have_terminal()) {
    throw Failure(kWrongPassword,
                  "merge: " + std::string(ours.empty() ? "no password given for "
                                                       : "the password of this store does not "
                                                         "unlock ") +
                      tool::quoted(path) + ": give its own with --other-password-file, or run on "
                      "a terminal to type it");
  }
  for (int attempt = 1;; ++attempt) {
    Secret password;
    {
      Terminal terminal("the password of the other store");
      password = terminal.read_hidden("Password for " + tool::quoted(path) + ": ");
    }
    auto safe = safe_at(path, password);
    if (safe->key_verified(error)) return safe;
    if (attempt == kTries || safe->status() != kel::Status::wrong_password) {
      library_failure("merge", safe->status(), error, path, {}, "typed on the terminal");
    }
    note("wrong password, try again");
  }
}

int run_merge(const Context& context, const MergeArgs& args) {
  require_store(context);
  const std::string ours_path = store_file(context.store);
  const std::string other_path = store_file(args.other);
  const struct stat ours_file = file_status(ours_path, ours_path);
  const struct stat other_file = file_status(other_path, other_path);
  if (ours_file.st_dev == other_file.st_dev && ours_file.st_ino == other_file.st_ino) {
    throw Failure(kRejected, "merge: " + tool::quoted(other_path) + " is this store itself (" +
                                 tool::quoted(ours_path) + "); nothing to merge");
  }
  Secret password;
  SafeHandle safe = open_safe(context, "merge", &password);
  std::unique_ptr<kel::Safe> other = open_other(context, args, other_path, password);
  password.clear();  // wiped: not needed from here on
  const StoreEntries theirs = read_store(*other, "merge", other_path);
  other.reset();
  const StoreEntries ours = read_store(*safe, "merge", ours_path);
  MergePlan plan = plan_merge(ours, theirs, args.prefer == "theirs", std::time(nullptr));
  if (plan.empty()) {
    for (const std::string& line : plan.conflicts) note("conflict: " + line);
    if (!context.quiet) {
      note("merge: nothing to merge from " + tool::quoted(other_path) +
           "; the store is unchanged");
    }
    return kOk;
  }
  std::string error;
  if (safe->apply_changes(plan.put, plan.remove, error) != 0) {
    library_failure("merge", safe->status(), error, ours_path);
  }
  if (!context.quiet) {
    for (const std::string& name : plan.added) note("added " + tool::quoted(name));
    for (const std::string& name : plan.replaced) note("replaced " + tool::quoted(name));
  }
  // Said even under -q: a name now has a second entry beside it.
  for (const std::string& line : plan.conflicts) note("conflict: " + line);
  if (!context.quiet) {
    note("merge: " + std::to_string(plan.added.size()) + " added, " +
         std::to_string(plan.replaced.size()) + " replaced, " +
         std::to_string(plan.conflicts.size()) + " in conflict, from " + tool::quoted(other_path));
  }
  report_backup(context, safe->removal_backup_path(), args.drop_backup,
                "holds the store as it was before the merge");
  return kOk;
}

}  // namespace

CommandRun add_merge_command(CLI::App& sub, Context& context) {
  auto args = std::make_shared<MergeArgs>();
  sub.add_option("OTHER", args->other, "The other store (only read)")->required();
  sub.add_option("--prefer", args->prefer,
                 "Whose value keeps a name whose values differ: ours (the default) or "
                 "theirs; the other value is stored as NAME.conflict-DATE")
      ->check(CLI::IsMember({"ours", "theirs"}));
  sub.add_option("--other-password-file", args->other_password_file,
                 "Read OTHER's password from this file (else this store's password is "
                 "tried, then it is asked)")
      ->type_name("FILE");
  sub.add_flag("--drop-backup", args->drop_backup,
               "Delete the backup (the store file as it was) once the merge succeeded");
  return [&context, args] { return run_merge(context, *args); };
}

}  // namespace kel::tool
