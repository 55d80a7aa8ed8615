// The command table: every subcommand of kel-safe declared once, in one row
// (commands/command_table.cpp). The parser registers the rows; a session's
// refusals, the agent's allowlist, the help list and the shell's completion
// are read from them. A new subcommand is one row, the file that adds its
// options and runs it, and its section of kel-safe(1).
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kel::tool {

struct Context;

// What runs a parsed subcommand: its exit status, or a Failure thrown.
// Empty for what a session does itself (lock, exit), which is registered
// only to be listed and told apart.
using CommandRun = std::function<int()>;

struct CommandRow {
  const char* name;
  const char* summary;  // the line of the help list
  // Adds the options and arguments to `sub` (made with the name and the
  // summary), bound to state of its own, and returns what runs it.
  CommandRun (*add)(CLI::App& sub, Context& context);
  // Where it may run: as the program's own command line; inside a session
  // (nullptr), or why not there (told to the user); only in a session.
  const char* not_in_session;
  bool session_only;
  // Whether `words` (the subcommand first, without kel-safe's own options)
  // may run in the agent: nothing in them names a file of the caller's,
  // reads its standard input or terminal, or starts a program. nullptr:
  // never.
  bool (*through_agent)(const std::vector<std::string>& words);
};

// The rows in the order of the help list.
std::span<const CommandRow> command_table();

// The row of `name`, or nullptr.
const CommandRow* find_command(std::string_view name);

// The names a session takes (lock, exit and help among them), in the
// table's order.
std::vector<std::string> session_command_names();

}  // namespace kel::tool
