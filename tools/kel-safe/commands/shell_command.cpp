// shell: a session on the store, interactive on a terminal (shell.cpp), a
// batch of framed results otherwise (batch.cpp).
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "session.h"
#include "subcommand.h"

namespace kel::tool {

namespace {

int run_session(const Context& context, const std::string& timeout) {
  const std::chrono::seconds idle = parse_duration(timeout, "shell --timeout");
  require_store(context);
  Session session(context);
  // One password for the whole session, asked before the first command.
  session.unlock();
  return isatty(0) == 1 ? run_shell(session, idle) : run_batch(session);
}

}  // namespace

CommandRun add_shell_command(CLI::App& sub, Context& context) {
  auto timeout = std::make_shared<std::string>("5m");
  sub.add_option("--timeout", *timeout,
                 "Lock after this long without a command (default 5m; 0: never); "
                 "the next command asks for the password again")
      ->type_name("DURATION");
  return [&context, timeout] { return run_session(context, *timeout); };
}

}  // namespace kel::tool
