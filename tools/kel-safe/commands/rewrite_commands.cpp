#include "rewrite_commands.h"

#include <kel/safe.h>

#include <memory>

#include "status.h"
#include "streams.h"

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
    if (classify(error) == kExists && to == from) {
      throw Failure(kExists, what + ": the new name is the old one; nothing to do");
    }
    if (classify(error) == kExists && !to.empty()) {
      throw Failure(kExists, what + ": an entry " + tool::quoted(to) +
                                 " exists already; --replace replaces its value in the "
                                 "same step (" + error + ")");
    }
    library_failure(what, error, store_file(context.store),
                    classify(error) == kExists ? to : from);
  }
  if (!context.quiet) note(done);
  report_backup(context, safe->removal_backup_path(), drop_backup, backup_holds);
  return kOk;
}

}  // namespace

RewriteCommands::RewriteCommands(CLI::App& app,
                                 const std::function<bool(std::string_view)>& want) {
  if (want("mv")) {
    mv_ = app.add_subcommand("mv", "Rename the entry OLD to NEW in one step; readers "
                                   "never find it under neither name");
    mv_->add_option("OLD", from_, "The entry's name")->required();
    mv_->add_option("NEW", to_, "Its new name (not stored yet, unless --replace)")
        ->required();
  }
  if (want("cp")) {
    cp_ = app.add_subcommand("cp", "Store the value of NAME under NEW as well");
    cp_->add_option("NAME", from_, "The entry's name")->required();
    cp_->add_option("NEW", to_, "The name of the copy (not stored yet, unless --replace)")
        ->required();
  }
  if (want("rm")) {
    rm_ = app.add_subcommand("rm", "Remove the entries NAME..., all in one rewrite, all "
                                   "or nothing; the old file is kept as a backup");
    rm_->add_option("NAME", names_, "The entries' names")->required();
  }
  for (CLI::App* sub : {mv_, cp_}) {
    if (sub == nullptr) continue;
    sub->add_flag("--replace", replace_,
                  "Replace the value stored under NEW in the same step: readers find "
                  "its old value or the new one, never none");
  }
  for (CLI::App* sub : {mv_, cp_, rm_}) {
    if (sub != nullptr) sub->add_flag("--drop-backup", drop_backup_, kDropHelp);
  }
}

std::optional<int> RewriteCommands::run(const Context& context) const {
  if (mv_ != nullptr && *mv_) {
    return rewrite(context, "mv " + tool::quoted(from_), from_, to_,
                   "renamed " + tool::quoted(from_) + " to " + tool::quoted(to_),
                   "still holds " + tool::quoted(from_), drop_backup_,
                   [&](kel::Safe& safe, std::string& error) {
                     return safe.rename_entry(from_, to_, replace_, error);
                   });
  }
  if (cp_ != nullptr && *cp_) {
    return rewrite(context, "cp " + tool::quoted(from_), from_, to_,
                   "copied " + tool::quoted(from_) + " to " + tool::quoted(to_),
                   replace_ ? "is the store as it was before the copy"
                            : "is the store without " + tool::quoted(to_),
                   drop_backup_,
                   [&](kel::Safe& safe, std::string& error) {
                     return safe.copy_entry(from_, to_, replace_, error);
                   });
  }
  if (rm_ != nullptr && *rm_) {
    std::string listed;
    for (const std::string& name : names_) listed += (listed.empty() ? "" : " ") + tool::quoted(name);
    // The library names the missing one of several.
    return rewrite(context, "rm " + listed, names_.size() == 1 ? names_[0] : "", "",
                   "removed " + listed,
                   names_.size() == 1 ? "still holds it" : "still holds them",
                   drop_backup_, [&](kel::Safe& safe, std::string& error) {
                     return safe.remove_entries(names_, error);
                   });
  }
  return std::nullopt;
}

}  // namespace kel::tool
