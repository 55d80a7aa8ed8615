// The command line of kel-safe, parsed and run in one place: the one-shot
// program (argv) and every line of a session (shell, batch) go through the
// same registration and the same command code, so they take the same
// arguments and give the same output and exit statuses.
#pragma once

#include <string>
#include <vector>

#include "commands.h"

namespace kel::tool {

enum class CommandLineMode {
  one_shot,  // the program's own arguments: global options, then a subcommand
  session,   // one line of a session: a subcommand on the session's store
};

// Parses `args` (without the program name) and runs the subcommand they
// name. Returns its exit status; a failure is told in one note on standard
// error. In a session `context.session` is the open store; the options of
// kel-safe itself (-s, --password-file, ...) are not taken there, and the
// subcommands that cannot run on an open store are refused (status 2).
int run_command_line(Context& context, const std::vector<std::string>& args,
                     CommandLineMode mode);

}  // namespace kel::tool
