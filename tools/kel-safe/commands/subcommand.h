// Subcommands that live in source files of their own. Each adds its CLI11
// subcommand (options bound to its own state) and the function that runs it
// once the command line is parsed; main() runs the one that was given.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <vector>

#include "commands.h"

namespace kel::tool {

struct Subcommand {
  CLI::App* app = nullptr;
  std::function<int()> run;
};
using Subcommands = std::vector<Subcommand>;

// check: authenticate everything in the store (check_command.cpp).
void add_check_command(CLI::App& app, const Context& context, Subcommands& into);
// repair: rewrite the store with every entry that authenticates
// (repair_command.cpp).
void add_repair_command(CLI::App& app, const Context& context, Subcommands& into);

// export: every entry in clear, as JSON, dotenv or files
// (export_command.cpp).
void add_export_command(CLI::App& app, const Context& context, Subcommands& into);
// import: entries from those forms (import_command.cpp).
void add_import_command(CLI::App& app, const Context& context, Subcommands& into);
// generate: a new random value (generate_command.cpp).
void add_generate_command(CLI::App& app, const Context& context, Subcommands& into);
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
void add_upgrade_command(CLI::App& app, const Context& context, Subcommands& into);

// run: a command with secrets in its environment (run_command.cpp).
void add_run_command(CLI::App& app, const Context& context, Subcommands& into);

}  // namespace kel::tool
