// The command table: one row for each subcommand, in the order of the help
// list. A row names the subcommand, gives its summary, the function that
// adds its options and runs it (its own file), and where it may run.
//
// A new subcommand is: its file in commands/ (picked up by the build), its
// declaration and row here, and its section of kel-safe(1). The test of the
// completion scripts (CompletionKnowsEverySubcommand) then says what each
// of bash, zsh and fish lacks.
#include "command_table.h"

#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "agent.h"
#include "commands.h"

namespace kel::tool {

// Each in its own file, named after the subcommand (a family in one).
CommandRun add_create_command(CLI::App& sub, Context& context);    // password_commands.cpp
CommandRun add_verify_command(CLI::App& sub, Context& context);    // password_commands.cpp
CommandRun add_passwd_command(CLI::App& sub, Context& context);    // password_commands.cpp
CommandRun add_keygen_command(CLI::App& sub, Context& context);
CommandRun add_grant_command(CLI::App& sub, Context& context);     // slot_commands.cpp
CommandRun add_slots_command(CLI::App& sub, Context& context);     // slot_commands.cpp
CommandRun add_revoke_command(CLI::App& sub, Context& context);    // slot_commands.cpp
CommandRun add_add_command(CLI::App& sub, Context& context);       // entry_commands.cpp
CommandRun add_get_command(CLI::App& sub, Context& context);       // entry_commands.cpp
CommandRun add_edit_command(CLI::App& sub, Context& context);
CommandRun add_exists_command(CLI::App& sub, Context& context);    // entry_commands.cpp
CommandRun add_ls_command(CLI::App& sub, Context& context);        // entry_commands.cpp
CommandRun add_find_command(CLI::App& sub, Context& context);
CommandRun add_otp_command(CLI::App& sub, Context& context);
CommandRun add_mv_command(CLI::App& sub, Context& context);        // rewrite_commands.cpp
CommandRun add_cp_command(CLI::App& sub, Context& context);        // rewrite_commands.cpp
CommandRun add_rm_command(CLI::App& sub, Context& context);        // rewrite_commands.cpp
CommandRun add_merge_command(CLI::App& sub, Context& context);
CommandRun add_merge_driver_command(CLI::App& sub, Context& context);
CommandRun add_version_command(CLI::App& sub, Context& context);
CommandRun add_check_command(CLI::App& sub, Context& context);
CommandRun add_repair_command(CLI::App& sub, Context& context);
CommandRun add_upgrade_command(CLI::App& sub, Context& context);   // format_options.cpp
CommandRun add_export_command(CLI::App& sub, Context& context);
CommandRun add_import_command(CLI::App& sub, Context& context);
CommandRun add_generate_command(CLI::App& sub, Context& context);
CommandRun add_run_command(CLI::App& sub, Context& context);
CommandRun add_shell_command(CLI::App& sub, Context& context);
CommandRun add_agent_command(CLI::App& sub, Context& context);
CommandRun add_lock_command(CLI::App& sub, Context& context);      // session_commands.cpp
CommandRun add_exit_command(CLI::App& sub, Context& context);      // session_commands.cpp
CommandRun add_help_command(CLI::App& sub, Context& context);

namespace {

// Where a command may run through the agent: those that touch nothing of
// the caller's but the words and the output.
bool always(const std::vector<std::string>&) { return true; }

const CommandRow kCommands[] = {
    {"create", "Make a new, empty store; the password is asked twice", add_create_command,
     "a session works on a store that exists", false, nullptr},
    {"verify",
     "Check the password: exit 0 when it unlocks the store, 1 when not (check "
     "tests the entries' integrity)",
     add_verify_command, "the session's password unlocked the store already", false, nullptr},
    {"passwd",
     "Change the store password (and, in format 2, its Argon2id parameters or store "
     "key); the old file is kept as PATH.safe.backup1",
     add_passwd_command,
     "the password cannot change under an open session; leave it (exit) and "
     "run kel-safe passwd",
     false, nullptr},
    // Key slots: several keys that each open one store.
    {"keygen",
     "Make an identity, for a recipient slot: -o FILE (0600, never over a file) and its "
     "public key on standard output",
     add_keygen_command, "keygen needs no store; run it outside the session", false, nullptr},
    {"grant",
     "Add a key slot: --recipient PUBKEY (an identity opens it, no password), --password, "
     "or --key-file FILE (a new password and FILE together)",
     add_grant_command,
     "the key slots cannot change under an open session; leave it (exit) and run "
     "kel-safe grant",
     false, nullptr},
    {"slots",
     "List the key slots: number, kind, date, public key, label; '*' marks the one that "
     "opened the store",
     add_slots_command, nullptr, false, always},
    {"revoke",
     "Remove key slot SLOT (its number or label) and draw a new store key in the same "
     "rewrite; asks first on a terminal",
     add_revoke_command,
     "the key slots cannot change under an open session; leave it (exit) and run "
     "kel-safe revoke",
     false, nullptr},
    {"add",
     "Store a value under NAME: read from standard input (all of it, "
     "as raw bytes), typed on the terminal, or from --file",
     add_add_command, nullptr, false,
     // A value typed on the terminal is asked for by the program itself.
     [](const std::vector<std::string>& words) {
       return !has_option(words, {"-f", "--file"}) && isatty(0) != 1;
     }},
    {"get",
     "Write the value of NAME to standard output, byte for byte; several "
     "names with --json or --env",
     add_get_command, nullptr, false,
     // --clip starts a program, which the agent must not: it runs here.
     [](const std::vector<std::string>& words) {
       return !has_option(words, {"-o", "--output", "--clip"});
     }},
    // The editor runs in this process, never in the agent, which it may ask
    // for the value and hand the new one to (edit_command.cpp).
    {"edit",
     "Open the value of NAME (a new one: empty) in $VISUAL or $EDITOR, its plain text in "
     "memory only; store it again if it changed",
     add_edit_command, nullptr, false, nullptr},
    {"exists", "Exit 0 when NAME is stored, 1 when it is not", add_exists_command, nullptr,
     false, always},
    {"ls", "List the stored names (under PREFIX), sorted, one a line", add_ls_command,
     nullptr, false, always},
    {"find",
     "List the names that contain PATTERN, in any case, or that match it as a glob "
     "(*, ?, [...]); exit 1 when none does",
     add_find_command, nullptr, false, always},
    {"otp",
     "Print the current one-time code (TOTP) of NAME, whose value holds an "
     "otpauth://totp/ URI or a base32 secret",
     add_otp_command, nullptr, false, always},
    {"mv",
     "Rename the entry OLD to NEW in one step; readers "
     "never find it under neither name",
     add_mv_command, nullptr, false, always},
    {"cp", "Store the value of NAME under NEW as well", add_cp_command, nullptr, false,
     always},
    {"rm",
     "Remove the entries NAME..., all in one rewrite, all "
     "or nothing; the old file is kept as a backup",
     add_rm_command, nullptr, false, always},
    // merge reads a file of the caller's, so the agent does not run it;
    // a session does, with the store it opened.
    {"merge",
     "Bring the entries of the store OTHER into this one, in one rewrite; a name "
     "whose values differ keeps ours and gets NAME.conflict-DATE beside it",
     add_merge_command, nullptr, false, nullptr},
    {"merge-driver",
     "git's merge driver for store files: merge-driver %O %A %B merges by name "
     "into %A; exit 1 on a conflict (see kel-safe(1))",
     add_merge_driver_command, "git runs the merge driver, outside a session", false,
     nullptr},
    {"version", "Print the tool's and the library's version", add_version_command, nullptr,
     false, nullptr},
    {"check",
     "Authenticate the header, every name and every value; exit 0 when all "
     "of it is intact, 7 when anything is damaged",
     add_check_command, nullptr, false, always},
    {"repair",
     "Write a new store with every entry that authenticates; the damaged "
     "file is kept as PATH.safe.damaged-TIME",
     add_repair_command, nullptr, false, nullptr},
    {"upgrade",
     "Rewrite a format-1 or format-2 store as format 3 (Argon2id, tamper-evident "
     "records) under a new store key, with the same password; the old file is kept "
     "as PATH.safe.backup2",
     add_upgrade_command,
     "an upgrade needs the password, which the open session no longer holds; "
     "leave it (exit) and run kel-safe upgrade",
     false, nullptr},
    {"export",
     "Write every entry (or those under --prefix) in clear: --json, --env or "
     "--dir DIR; asks first on a terminal",
     add_export_command, nullptr, false,
     // It asks on the terminal before it writes secrets in clear.
     [](const std::vector<std::string>& words) {
       return !has_option(words, {"--dir"}) &&
              (has_option(words, {"-y", "--yes"}) || isatty(0) != 1);
     }},
    {"import",
     "Add entries from --json FILE, --env FILE or --dir DIR (the forms export "
     "writes; '-' is standard input); stored names are skipped unless --replace",
     add_import_command, nullptr, false, nullptr},
    {"generate",
     "Store a new random value under NAME (24 characters of every class "
     "unless told otherwise)",
     add_generate_command, nullptr, false, always},
    {"run",
     "Run COMMAND with chosen secrets in its environment: run [--prefix P] "
     "[--env NAME=ENTRY]... -- COMMAND [ARGS]...",
     add_run_command, "run replaces the process; run it outside the session", false,
     nullptr},
    {"shell",
     "Ask for the password once, then run many commands on the store: "
     "interactive on a terminal, a batch of framed results otherwise "
     "(see kel-safe(1))",
     add_shell_command, "this is a session already", false, nullptr},
    {"agent",
     "Unlock the store once and serve further kel-safe commands for it from a "
     "process in the background: agent start [--timeout D] | stop | status",
     add_agent_command, "the agent is started and asked outside a session", false, nullptr},
    {"lock",
     "Lock the store: its key is wiped, and the next command "
     "asks for the password again",
     add_lock_command, nullptr, true, nullptr},
    {"exit", "Leave the session (so does quit)", add_exit_command, nullptr, true, nullptr},
    {"help", "Show the help of COMMAND, or this help", add_help_command, nullptr, false,
     nullptr},
};

}  // namespace

std::span<const CommandRow> command_table() { return kCommands; }

const CommandRow* find_command(std::string_view name) {
  const auto* row = std::find_if(std::begin(kCommands), std::end(kCommands),
                                 [name](const CommandRow& each) { return each.name == name; });
  return row == std::end(kCommands) ? nullptr : row;
}

std::vector<std::string> session_command_names() {
  std::vector<std::string> names;
  for (const CommandRow& row : kCommands) {
    if (row.not_in_session == nullptr) names.emplace_back(row.name);
  }
  return names;
}

}  // namespace kel::tool
