// kel-safe run: runs a command with chosen secrets added to its environment
// and nothing else changed. The command is started with execvpe, with no
// shell in between; the values travel only in the environment, never on a
// command line. The exit status is the command's own, since the command
// takes this process's place.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string_view>
#include <vector>

#include "entry_selection.h"
#include "status.h"
#include "steering_variables.h"
#include "streams.h"
#include "subcommand.h"
#include "value_formats.h"
#include "value_line.h"

extern char** environ;

namespace kel::tool {

namespace {

struct RunOptions {
  std::string prefix;
  bool use_prefix = false;
  std::vector<std::string> env;  // NAME=ENTRY
  std::vector<std::string> command;
};

// Exit statuses of a command that could not be started, as shells give them.
constexpr int kCannotRun = 126;
constexpr int kNotFoundCommand = 127;

// Variable name -> entry name, refused when a variable name is not one.
std::vector<std::pair<std::string, std::string>> choose(kel::Safe& safe,
                                                        const RunOptions& options,
                                                        const std::string& path) {
  std::vector<std::pair<std::string, std::string>> chosen;
  if (options.use_prefix) {
    for (const std::string& name : names_under(safe, options.prefix, "run", path)) {
      const std::string variable = name_below(options.prefix, name, "run");
      // Named with --env as well: that choice is the one made on purpose,
      // and it wins in any case.
      bool named = false;
      for (const std::string& pair : options.env) {
        named = named || pair.compare(0, variable.size() + 1, variable + "=") == 0;
      }
      if (named) continue;
      // The names under the prefix are the store's choice, not the user's:
      // none of them may steer what the command runs. Refused, not left
      // out, so that the command never starts without a value it expects.
      if (valid_variable_name(variable) && steers_programs(variable)) {
        throw Failure(kRejected, "run: the entry " + tool::quoted(name) + " would set " +
                                     variable + ", a variable that steers how programs run; " +
                                     "run sets one only when named: --env " + variable + "=" +
                                     name);
      }
      chosen.emplace_back(variable, name);
    }
  }
  for (const std::string& pair : options.env) {
    const std::size_t equals = pair.find('=');
    if (equals == std::string::npos || equals + 1 == pair.size()) {
      throw Failure(kUsage, "run: --env takes NAME=ENTRY, not " + tool::quoted(pair));
    }
    chosen.emplace_back(pair.substr(0, equals), pair.substr(equals + 1));
  }
  for (const auto& [variable, name] : chosen) {
    if (!valid_variable_name(variable)) {
      throw Failure(kRejected, "run: " + tool::quoted(variable) + " (for " + tool::quoted(name) +
                                   ") is not a variable name");
    }
  }
  return chosen;
}

// The line that `name` (an --env choice) asks for, 0 for the whole value,
// and `name` cut to the entry's name when it ends in ":N".
std::size_t line_choice(kel::Safe& safe, std::string& name) {
  const std::size_t colon = name.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == name.size() ||
      name.find_first_not_of("0123456789", colon + 1) != std::string::npos ||
      name.size() - colon > 10 || safe.exists(name)) {
    return 0;
  }
  const std::size_t line = std::stoul(name.substr(colon + 1));
  if (line == 0) {
    throw Failure(kUsage, "run: --env VAR=NAME:N counts lines from 1, not 0 (" +
                              tool::quoted(name) + ")");
  }
  name.resize(colon);
  return line;
}

int run_command(const Context& context, const RunOptions& options) {
  if (options.command.empty()) throw Failure(kUsage, "run: no command given after --");
  if (!options.use_prefix && options.env.empty()) {
    throw Failure(kUsage, "run: choose the secrets with --prefix P or --env NAME=ENTRY");
  }
  const std::string path = store_file(context.store);
  SafeHandle safe = open_checked(context, "run");
  const auto chosen = choose(*safe, options, path);
  std::vector<std::string> names;
  for (const auto& pair : chosen) names.push_back(pair.second);
  // --env VAR=NAME:N takes line N of NAME, unless NAME:N is a stored name
  // itself (names may hold ':'); the choices of --prefix are whole values.
  std::vector<std::size_t> lines(names.size(), 0);
  for (std::size_t i = names.size() - options.env.size(); i < names.size(); ++i) {
    lines[i] = line_choice(*safe, names[i]);
  }
  // Every value authenticates before the command sees any of them.
  const std::vector<kel::Entry> entries = read_entries(*safe, names, "run", path);
  std::vector<std::string_view> values;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::size_t count = 0;
    const auto line = lines[i] == 0 ? entries[i].value()
                                    : value_line(entries[i].value(), lines[i], count);
    if (!line) no_such_line("run", names[i], lines[i], count);
    values.push_back(*line);
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (values[i].find('\0') != std::string_view::npos) {
      throw Failure(kRejected, "run: the value of " + tool::quoted(names[i]) +
                                   " holds a zero byte, which no environment variable can hold");
    }
  }
  // The command's environment: this process's own, less the variables
  // chosen, then the chosen ones (a later choice of one name wins). The
  // command is still looked up through this process's PATH.
  std::vector<Secret> assignments;
  assignments.reserve(chosen.size());
  for (std::size_t i = chosen.size(); i-- > 0;) {
    bool later = false;
    for (std::size_t j = i + 1; j < chosen.size(); ++j) {
      later = later || chosen[j].first == chosen[i].first;
    }
    if (later) continue;
    const std::string_view value = values[i];
    Secret& line = assignments.emplace_back(chosen[i].first.size() + value.size() + 2);
    line.append(chosen[i].first.data(), chosen[i].first.size());
    line.push_back('=');
    line.append(value.data(), value.size());
  }
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view assignment(*entry);
    const std::string_view variable = assignment.substr(0, assignment.find('='));
    bool replaced = false;
    for (const auto& pair : chosen) replaced = replaced || pair.first == variable;
    if (!replaced) envp.push_back(*entry);
  }
  for (Secret& line : assignments) envp.push_back(const_cast<char*>(line.str().c_str()));
  envp.push_back(nullptr);
  // The descriptors the store password came through are this tool's, not
  // the command's: it could read the password again through them.
  for (const int fd : {context.passwords.fd, context.passwords.new_fd}) {
    if (fd > 2) fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  // The command gets the process as the user started it: its own standard
  // output back on descriptor 1, and default handling of the signals this
  // tool ignores for itself.
  if (data_fd() >= 0) {
    dup2(data_fd(), 1);
  } else {
    close(1);
  }
  signal(SIGPIPE, SIG_DFL);
  signal(SIGXFSZ, SIG_DFL);
  std::vector<char*> argv;
  for (const std::string& word : options.command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  execvpe(argv[0], argv.data(), envp.data());
  const int failure = errno;
  dup2(2, 1);
  note("run: cannot run " + tool::quoted(options.command[0]) + ": " + strerror(failure));
  return failure == ENOENT ? kNotFoundCommand : kCannotRun;
}

}  // namespace

CommandRun add_run_command(CLI::App& sub, Context& context) {
  auto options = std::make_shared<RunOptions>();
  CLI::App* command = &sub;
  command->add_option_function<std::string>(
             "--prefix",
             [options](const std::string& prefix) {
               options->prefix = prefix;
               options->use_prefix = true;
             },
             "Every entry whose name begins with P, as the variable named by the rest "
             "of its name; one that would set PATH, LD_*, PYTHON*, PS4 or any other "
             "variable that steers how programs run (the list: man kel-safe) is refused")
      ->type_name("P");
  command->add_option("--env", options->env,
                      "The entry ENTRY as the variable NAME (may be repeated); ENTRY:N "
                      "takes line N of its value alone")
      ->type_name("NAME=ENTRY")
      ->allow_extra_args(false);  // or it would swallow the "--"
  // After "--" every word is the command's own, options included; before
  // it, the options of kel-safe itself (-s, --password-file...) fall
  // through to the parent, as they do for the other subcommands.
  command->add_option("COMMAND", options->command, "The command and its arguments, after --")
      ->required()
      ->expected(-1)
      ->allow_extra_args();
  command->fallthrough(true);
  return [&context, options] { return run_command(context, *options); };
}

}  // namespace kel::tool
