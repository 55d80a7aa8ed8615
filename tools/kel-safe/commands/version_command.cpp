// version: the tool's and the library's version.
#include "subcommand.h"

namespace kel::tool {

CommandRun add_version_command(CLI::App&, Context&) {
  return [] { return cmd_version(); };
}

}  // namespace kel::tool
