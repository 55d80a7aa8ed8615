// lock and exit: what a session does itself (session.cpp, shell.cpp,
// batch.cpp) before a line reaches the parser. Registered to be listed,
// completed and told apart from a mistyped word; they run nothing here.
#include "subcommand.h"

namespace kel::tool {

CommandRun add_lock_command(CLI::App&, Context&) { return nullptr; }

CommandRun add_exit_command(CLI::App&, Context&) { return nullptr; }

}  // namespace kel::tool
