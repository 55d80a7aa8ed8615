// mv, cp and rm: the subcommands that rewrite the store file in one step.
#include <kel/safe.h>

#include <memory>
#include <string>
#include <vector>

#include "status.h"
#include "streams.h"
#include "subcommand.h"

namespace kel::tool {

namespace {

const char* const kDropHelp =
    "Delete the backup (the store file as it was) once the change succeeded";

// Runs one rewrite through a Safe whose password was checked, then says
// where the backup is (or drops it): beside the file the store path leads
// to, which is the file a rewrite replaces. A failure names `from` when an
// entry is missing and `to` when one is in the way; then --replace is the
// way on, since removing `to` first would lose its value if the rename then
// failed, and leave a moment with no value under `to`.
template <typename Change>
int rewrite(const Context& context, const std::string& what, const std::string& from,
            const std::string& to, const std::string& done, const std::string& backup_holds,
            bool drop_backup, Change change) {
  require_store(context);
  SafeHandle safe = open_safe(context, what);
  std::string error;
  if (change(*safe, error) != 0) {
    // Onto itself: removing it first, as for another name in the way,
    // would lose the value.
    const bool in_the_way = safe->status() == kel::Status::exists;
    if (in_the_way && to == from) {
      throw Failure(kExists, what + ": the new name is the old one; nothing to do");
    }
    if (in_the_way && !to.empty()) {
      throw Failure(kExists, what + ": an entry " + tool::quoted(to) +
                                 " exists already; --replace replaces its value in the "
                                 "same step (" + error + ")");
    }
    library_failure(what, safe->status(), error, store_file(context.store),
                    in_the_way ? to : from);
  }
  if (!context.quiet) note(done);
  report_backup(context, safe->removal_backup_path(), drop_backup, backup_holds);
  return kOk;
}

}  // namespace

namespace {

// The words of one rewrite command, bound to its options.
struct RewriteArgs {
  std::string from, to;
  std::vector<std::string> names;
  bool replace = false;
  bool drop_backup = false;
};

// mv and cp take the same words: the entry, the name it gets, --replace and
// --drop-backup; only the first two are worded apart.
std::shared_ptr<RewriteArgs> add_pair_args(CLI::App& sub, const std::string& from_word,
                                           const std::string& from_help,
                                           const std::string& to_help) {
  auto args = std::make_shared<RewriteArgs>();
  sub.add_option(from_word, args->from, from_help)->required();
  sub.add_option("NEW", args->to, to_help)->required();
  sub.add_flag("--replace", args->replace,
               "Replace the value stored under NEW in the same step: readers find "
               "its old value or the new one, never none");
  sub.add_flag("--drop-backup", args->drop_backup, kDropHelp);
  return args;
}

}  // namespace

CommandRun add_mv_command(CLI::App& sub, Context& context) {
  auto args = add_pair_args(sub, "OLD", "The entry's name",
                            "Its new name (not stored yet, unless --replace)");
  return [&context, args] {
    const std::string& from = args->from;
    const std::string& to = args->to;
    return rewrite(context, "mv " + tool::quoted(from), from, to,
                   "renamed " + tool::quoted(from) + " to " + tool::quoted(to),
                   "still holds " + tool::quoted(from), args->drop_backup,
                   [&](kel::Safe& safe, std::string& error) {
                     return safe.rename_entry(from, to, args->replace, error);
                   });
  };
}

CommandRun add_cp_command(CLI::App& sub, Context& context) {
  auto args = add_pair_args(sub, "NAME", "The entry's name",
                            "The name of the copy (not stored yet, unless --replace)");
  return [&context, args] {
    const std::string& from = args->from;
    const std::string& to = args->to;
    return rewrite(context, "cp " + tool::quoted(from), from, to,
                   "copied " + tool::quoted(from) + " to " + tool::quoted(to),
                   args->replace ? "is the store as it was before the copy"
                                 : "is the store without " + tool::quoted(to),
                   args->drop_backup,
                   [&](kel::Safe& safe, std::string& error) {
                     return safe.copy_entry(from, to, args->replace, error);
                   });
  };
}

CommandRun add_rm_command(CLI::App& sub, Context& context) {
  auto args = std::make_shared<RewriteArgs>();
  sub.add_option("NAME", args->names, "The entries' names")->required();
  sub.add_flag("--drop-backup", args->drop_backup, kDropHelp);
  return [&context, args] {
    const std::vector<std::string>& names = args->names;
    std::string listed;
    for (const std::string& name : names) listed += (listed.empty() ? "" : " ") + tool::quoted(name);
    // The library names the missing one of several.
    return rewrite(context, "rm " + listed, names.size() == 1 ? names[0] : "", "",
                   "removed " + listed,
                   names.size() == 1 ? "still holds it" : "still holds them",
                   args->drop_backup, [&](kel::Safe& safe, std::string& error) {
                     return safe.remove_entries(names, error);
                   });
  };
}

}  // namespace kel::tool
