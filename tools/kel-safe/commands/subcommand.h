// The subcommands, one file each (or one for a small family). Each adds
// the options and arguments of its subcommand to `sub` (made from its row
// of the command table, commands/command_table.cpp), bound to state of its
// own, and returns what runs it once the command line is parsed.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <vector>

#include "command_table.h"
#include "commands.h"

namespace kel::tool {

// create, verify, passwd (password_commands.cpp).
CommandRun add_create_command(CLI::App& sub, Context& context);
CommandRun add_verify_command(CLI::App& sub, Context& context);
CommandRun add_passwd_command(CLI::App& sub, Context& context);
// add, get, exists, ls (entry_commands.cpp).
CommandRun add_add_command(CLI::App& sub, Context& context);
CommandRun add_get_command(CLI::App& sub, Context& context);
CommandRun add_exists_command(CLI::App& sub, Context& context);
CommandRun add_ls_command(CLI::App& sub, Context& context);
// mv, cp, rm: one rewrite of the store file each (rewrite_commands.cpp).
CommandRun add_mv_command(CLI::App& sub, Context& context);
CommandRun add_cp_command(CLI::App& sub, Context& context);
CommandRun add_rm_command(CLI::App& sub, Context& context);
// version (version_command.cpp).
CommandRun add_version_command(CLI::App& sub, Context& context);
// help [COMMAND] (help_command.cpp).
CommandRun add_help_command(CLI::App& sub, Context& context);
// shell: a session on the store (shell_command.cpp).
CommandRun add_shell_command(CLI::App& sub, Context& context);
// agent start [--timeout D] | stop | status (agent_command.cpp).
CommandRun add_agent_command(CLI::App& sub, Context& context);
// lock and exit: what a session does itself, listed with the rest
// (session_commands.cpp).
CommandRun add_lock_command(CLI::App& sub, Context& context);
CommandRun add_exit_command(CLI::App& sub, Context& context);

// check: authenticate everything in the store (check_command.cpp).
CommandRun add_check_command(CLI::App& sub, Context& context);
// repair: rewrite the store with every entry that authenticates
// (repair_command.cpp).
CommandRun add_repair_command(CLI::App& sub, Context& context);

// export: every entry in clear, as JSON, dotenv or files
// (export_command.cpp).
CommandRun add_export_command(CLI::App& sub, Context& context);
// import: entries from those forms (import_command.cpp).
CommandRun add_import_command(CLI::App& sub, Context& context);
// generate: a new random value (generate_command.cpp).
CommandRun add_generate_command(CLI::App& sub, Context& context);
// The store format's options (format_options.cpp): create's --format 1|2
// (2 by default), --kdf-time MS and --kdf-memory MIB (upgrade's too).
struct FormatArgs {
  int format = 2;
  unsigned time_ms = 0;     // 0: the library's 250 ms
  unsigned memory_mib = 0;  // 0: calibrated
};
void add_kdf_options(CLI::App* sub, FormatArgs& args, bool with_format);
kel::StoreOptions store_options(const FormatArgs& args);
// upgrade: rewrite a format-1 store as format 2 (format_options.cpp).
CommandRun add_upgrade_command(CLI::App& sub, Context& context);

// run: a command with secrets in its environment (run_command.cpp).
CommandRun add_run_command(CLI::App& sub, Context& context);

}  // namespace kel::tool
