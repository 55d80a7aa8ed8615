// What the subcommands' files share. Each file (one subcommand, or a
// small family) defines `CommandRun add_NAME_command(CLI::App& sub,
// Context& context)`: it adds the options and arguments of its subcommand
// to `sub` (made from its row of the command table,
// commands/command_table.cpp, which declares it), bound to state of its
// own, and returns what runs it once the command line is parsed.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <vector>

#include "command_table.h"
#include "commands.h"

namespace kel::tool {

// The store format's options (format_options.cpp): create's --format 1|2|3
// (3 by default), --kdf-time MS, --kdf-memory MIB, --kdf-passes N and
// --kdf-lanes N (upgrade's and passwd's too).
struct FormatArgs {
  int format = 3;
  unsigned time_ms = 0;     // 0: the library's 500 ms of CPU time
  unsigned memory_mib = 0;  // 0: calibrated
  unsigned passes = 0;      // 0: calibrated
  unsigned lanes = 0;       // 0: the library's default
};
void add_kdf_options(CLI::App* sub, FormatArgs& args, bool with_format);
kel::StoreOptions store_options(const FormatArgs& args);

}  // namespace kel::tool
