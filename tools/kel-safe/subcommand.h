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
// run: a command with secrets in its environment (run_command.cpp).
void add_run_command(CLI::App& app, const Context& context, Subcommands& into);

}  // namespace kel::tool
