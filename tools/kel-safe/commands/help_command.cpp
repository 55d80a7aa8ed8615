// help [COMMAND]: the help of COMMAND, or of kel-safe. The command line
// runs "help COMMAND" as "COMMAND --help" (command_line.cpp), so the help
// text is the parser's own; what reaches this is more than one word.
#include <memory>
#include <string>

#include "status.h"
#include "subcommand.h"

namespace kel::tool {

CommandRun add_help_command(CLI::App& sub, Context&) {
  auto topic = std::make_shared<std::string>();
  sub.add_option("COMMAND", *topic, "A subcommand");
  return [topic]() -> int { throw Failure(kUsage, "help: give one subcommand at most"); };
}

}  // namespace kel::tool
