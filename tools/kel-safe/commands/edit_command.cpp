// edit NAME [--allow-disk]: the value in $VISUAL or $EDITOR (store/
// edit_value.h). With an agent serving the store, the value comes from it
// and goes back to it; the editor runs here all the same, never in the
// agent, which has no terminal.
#include <kel/store_files.h>

#include <memory>

#include "agent.h"
#include "edit_value.h"
#include "status.h"
#include "streams.h"
#include "subcommand.h"

namespace kel::tool {

namespace {

struct EditArgs {
  std::string name;
  bool allow_disk = false;
  bool drop_backup = false;
};

// A failure the agent told in its notes: they are shown as they are, and
// the edit says that it changed nothing.
[[noreturn]] void agent_failure(const std::string& what, int status, const std::string& notes) {
  if (!notes.empty()) write_all(2, notes, "standard error");
  throw Failure(static_cast<Status>(status), what + ": nothing is changed");
}

// The value through the agent that serves the store; the store itself
// when none does (found at the first read).
EditAccess agent_or_store_access(const Context& context, bool drop_backup) {
  auto direct = std::make_shared<std::optional<EditAccess>>();
  EditAccess access;
  access.read = [&context, direct, drop_backup](const std::string& name) -> std::optional<Secret> {
    // Once without an agent, always: the store opened (and its password
    // asked) once.
    if (*direct) return (*direct)->read(name);
    const std::string what = "edit " + tool::quoted(name);
    Secret output;
    std::string notes;
    const std::optional<int> status =
        agent_exchange(context, {"get", "--", name}, nullptr, true, output, notes);
    if (!status) {
      *direct = store_access(context, drop_backup);
      return (*direct)->read(name);
    }
    if (*status == kNotFound) return std::nullopt;
    if (*status != kOk) agent_failure(what, *status, notes);
    return output;
  };
  access.write = [&context, direct, drop_backup](const std::string& name,
                                                const Secret& value, bool stored) {
    if (*direct) return (*direct)->write(name, value, stored);
    const std::string what = "edit " + tool::quoted(name);
    Secret output;
    std::string notes;
    const std::vector<std::string> words{"add", stored ? "--replace" : "--replace-or-add", "--",
                                         name};
    const std::optional<int> status = agent_exchange(
        context, words, [&value] {
          Secret copy;
          copy.append(value.str().data(), value.size());
          return copy;
        },
        true, output, notes);
    // The agent ended while the editor ran: the new text goes to the store
    // itself rather than being lost.
    if (!status) {
      *direct = store_access(context, drop_backup);
      return (*direct)->write(name, value, stored);
    }
    if (*status != kOk) agent_failure(what, *status, notes);
    if (!context.quiet) note((stored ? "changed " : "added ") + tool::quoted(name));
    std::string backup, error;
    kel::store_backup_path(store_file(context.store), kel::StoreBackup::removal, backup, error);
    report_backup(context, backup, drop_backup,
                  stored ? "still holds the old value" : "does not hold " + tool::quoted(name) + " yet");
  };
  return access;
}

}  // namespace

CommandRun add_edit_command(CLI::App& sub, Context& context) {
  auto args = std::make_shared<EditArgs>();
  sub.add_option("NAME", args->name, "The entry's name; a new one starts empty")->required();
  sub.add_flag("--allow-disk", args->allow_disk,
               "Put the plain text in $XDG_RUNTIME_DIR (else /dev/shm) even when that is "
               "not in memory (tmpfs), where a removed file may stay readable on the disk");
  sub.add_flag("--drop-backup", args->drop_backup,
               "Delete the backup (which still holds the old value) once the change succeeded");
  return [&context, args] {
    return cmd_edit(context, args->name, args->allow_disk, [&context, args] {
      return context.session != nullptr ? store_access(context, args->drop_backup)
                                        : agent_or_store_access(context, args->drop_backup);
    });
  };
}

}  // namespace kel::tool
