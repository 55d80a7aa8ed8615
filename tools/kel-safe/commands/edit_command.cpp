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
};

// A failure the agent told in its notes: they are shown as they are, and
// the edit says that it changed nothing.
[[noreturn]] void agent_failure(const std::string& what, int status, const std::string& notes) {
  if (!notes.empty()) write_all(2, notes, "standard error");
  throw Failure(static_cast<Status>(status), what + ": nothing is changed");
}

// The value through the agent that serves the store; the store itself
// when none does (found at the first read).
EditAccess agent_or_store_access(const Context& context) {
  auto direct = std::make_shared<std::optional<EditAccess>>();
  EditAccess access;
  access.read = [&context, direct](const std::string& name) -> std::optional<Secret> {
    const std::string what = "edit " + tool::quoted(name);
    Secret output;
    std::string notes;
    const std::optional<int> status =
        agent_exchange(context, {"get", "--", name}, nullptr, true, output, notes);
    if (!status) {
      *direct = store_access(context);
      return (*direct)->read(name);
    }
    if (*status == kNotFound) return std::nullopt;
    if (*status != kOk) agent_failure(what, *status, notes);
    return output;
  };
  access.write = [&context, direct](const std::string& name, const Secret& value,
                                    bool stored) {
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
    // The agent went between the read and now: nothing was sent.
    if (!status) {
      throw Failure(kStoreError, what + ": the agent that served the store is gone; nothing "
                                        "is changed");
    }
    if (*status != kOk) agent_failure(what, *status, notes);
    if (context.quiet) return;
    note((stored ? "changed " : "added ") + tool::quoted(name));
    std::string backup, error;
    kel::store_backup_path(store_file(context.store), kel::StoreBackup::removal, backup, error);
    report_backup(context, backup, false,
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
  return [&context, args] {
    return cmd_edit(context, args->name, args->allow_disk, [&context] {
      return context.session != nullptr ? store_access(context)
                                        : agent_or_store_access(context);
    });
  };
}

}  // namespace kel::tool
