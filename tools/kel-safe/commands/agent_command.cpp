// agent start [--timeout D] | stop | status: the agent that keeps the
// store open for later commands (agent.cpp serves, agent_client.cpp asks).
#include <memory>
#include <string>

#include "agent.h"
#include "subcommand.h"

namespace kel::tool {

CommandRun add_agent_command(CLI::App& agent, Context& context) {
  agent.require_subcommand(1);
  auto timeout = std::make_shared<std::string>("10m");
  CLI::App* start = agent.add_subcommand(
      "start",
      "Ask for the password, then serve the store's commands until the agent "
      "was not used for --timeout, agent stop, or logout");
  start
      ->add_option(
          "--timeout", *timeout,
          "Stop after this long without a command (default 10m; 0: never)")
      ->type_name("DURATION");
  CLI::App* stop = agent.add_subcommand(
      "stop", "Stop the agent of the store; its key is wiped");
  agent.add_subcommand("status",
                       "Say whether an agent serves the store and when it "
                       "will lock; exit 1 when none");
  return [&context, timeout, start, stop]() -> int {
    if (*start) return start_agent(context, *timeout);
    if (*stop) return ask_agent(context, "stop");
    return ask_agent(context, "status");
  };
}

}  // namespace kel::tool
