// The command line of kel-safe: every subcommand registered with CLI11 in
// one place and run from here, for the one-shot program and for each line of
// a session alike; every failure ends as one line on standard error and an
// exit status of its class (status.h).
#include "command_line.h"

#include <CLI/CLI.hpp>
#include <kel/diagnostics.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "agent.h"
#include "clipboard.h"
#include "command_table.h"
#include "commands.h"
#include "default_store.h"
#include "status.h"
#include "streams.h"
#include "usage.h"

namespace kel::tool {

namespace {

const char* const kEnvironment =
    "Environment:\n"
    "  KEL_SAFE_STORE         the store, when -s is not given\n"
    "                         (with neither: $XDG_DATA_HOME/kel-safe/default.safe,\n"
    "                         or ~/.local/share/kel-safe/default.safe)\n"
    "  KEL_SAFE_PASSWORD      the store password, when neither --password-file\n"
    "                         nor --password-fd is given. Other processes of\n"
    "                         the same user (and root) can read a process's\n"
    "                         environment, and shells may keep it in history:\n"
    "                         prefer --password-file or --password-fd.\n"
    "  KEL_SAFE_NEW_PASSWORD  the new password for passwd and grant --password\n"
    "  KEL_SAFE_IDENTITY      the identity file, when neither --identity,\n"
    "                         --password-file nor --password-fd is given\n"
    "  KEL_SAFE_KEY_FILE      the key file, when --key-file is not given\n"
    "Without any of these the password is asked on the terminal, without echo.\n"
    "Passwords are never taken from the command line.\n\n";

// Help and version texts belong on standard output; errors go to standard
// error.
int parse_exit(const CLI::App& app, const CLI::ParseError& error,
               const std::vector<std::string>& args) {
  if (error.get_exit_code() != 0) {
    note(usage_message(app, error, args));
    return kUsage;
  }
  std::ostringstream out;
  std::ostringstream err;
  const int code = app.exit(error, out, err);
  try {
    if (!out.str().empty()) write_data(out.str());
  } catch (const Failure& failure) {
    note(failure.what());
    return kFileError;
  }
  if (!err.str().empty()) {
    write_all(2, err.str(), "standard error");
  }
  return code == 0 ? kOk : kUsage;
}

// Registers the subcommands (every one, or `only` that one), then parses
// `args` and runs the one they name.
// With `only` set and `retry_usage_errors`, a usage error returns
// kParseAgain instead of being told: the caller parses again with every
// subcommand registered, so that the message and its suggestions are the
// same as without the shortcut.
constexpr int kParseAgain = -1;

int command_line(Context& context, const std::vector<std::string>& args,
                 CommandLineMode mode, const std::string& only = {}, bool retry_usage_errors = false) {
  const bool one_shot = mode == CommandLineMode::one_shot;
  CLI::App app{
      "kel-safe keeps named secrets in one encrypted, password-protected store "
      "file.",
      "kel-safe"};
  app.require_subcommand(1);
  app.fallthrough();
  app.set_version_flag("--version", "kel-safe " KEL_SAFE_TOOL_VERSION);

  // The options of kel-safe itself choose the store and its password: a
  // session has both already, so its lines take none of them.
  CLI::Option* store_option = nullptr;
  CLI::Option* password_file = nullptr;
  CLI::Option* password_fd = nullptr;
  CLI::Option* identity = nullptr;
  CLI::Option* key_file = nullptr;
  if (one_shot) {
    store_option = app.add_option("-s,--store", context.store,
                   "The store file (\".safe\" is appended unless the name ends "
                   "with it)")
        ->envname("KEL_SAFE_STORE")
        ->type_name("PATH");
    password_file =
        app.add_option("--password-file", context.passwords.file,
                       "Read the store password from the first line of FILE")
            ->type_name("FILE");
    password_fd =
        app.add_option("--password-fd", context.passwords.fd,
                       "Read the store password from the first line of the "
                       "inherited descriptor N")
            ->type_name("N")
            ->check(descriptor_number());
    password_file->excludes(password_fd);
    // A recipient slot opens with the identity alone; a key file goes with
    // the password (store/key_source.h).
    // KEL_SAFE_IDENTITY is taken after parsing (below): a password option
    // on the command line beats it.
    identity =
        app.add_option("--identity", context.passwords.identity,
                       "Open the store through a recipient slot with the identity in FILE "
                       "(kel-safe keygen makes one); no password is asked")
            ->type_name("FILE");
    key_file =
        app.add_option("--key-file", context.passwords.key_file,
                       "Open the store through a password-and-key-file slot: FILE and the "
                       "password together")
            ->envname("KEL_SAFE_KEY_FILE")
            ->type_name("FILE");
    identity->excludes(key_file);
    app.add_flag("-q,--quiet", context.quiet,
                 "Print no notes on standard error, only failures");
  }

  // A session registers only the subcommand its line names (the parser is
  // made again for every line, and all of it costs more than the command);
  // everything is registered for the program's own command line, for help,
  // and for a word that names no subcommand.
  // A session registers only what it accepts, so that its help, its
  // suggestions and its completion offer nothing it would refuse.
  const auto want = [&only, one_shot](const CommandRow& row) {
    return (only.empty() || only == row.name) &&
           (one_shot ? !row.session_only : row.not_in_session == nullptr);
  };
  struct Registered {
    CLI::App* app;
    CommandRun run;
  };
  std::vector<Registered> subcommands;
  for (const CommandRow& row : command_table()) {
    if (!want(row)) continue;
    CLI::App* sub = app.add_subcommand(row.name, row.summary);
    subcommands.push_back({sub, row.add(*sub, context)});
  }

  // Set last: subcommands copy their parent's footer when they are made.
  // A session's store and password are chosen already: the environment
  // has nothing more to say there.
  app.footer(std::string("\n") + (one_shot ? kEnvironment : "") + std::string(status_table()) +
             "\nSee kel-safe(1) for more.\n");
  for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
    std::string footer =
        one_shot ? "\nThe options of kel-safe itself (-s, --password-file, --password-fd,\n"
                   "--identity, --key-file, -q) may come before or after the subcommand:\n"
                   "kel-safe --help lists them, the environment variables and the exit\n"
                   "statuses.\n"
                 : "\nIn a session the store and its password are the session's: the\n"
                   "options of kel-safe itself (-s, --password-file, --password-fd,\n"
                   "-q) are not taken here.\n";
    // Only where a word of the command line is an entry's name.
    if (takes_name(*sub)) {
      footer += "An entry name that starts with '-' goes after '--', which ends the\n"
                "options: kel-safe " + sub->get_name() + " -- -name\n";
    }
    sub->footer(footer);
  }

  if (!one_shot && !args.empty()) {
    const CommandRow* row = find_command(args[0]);
    if (row != nullptr && row->not_in_session != nullptr) {
      note(args[0] + ": not inside a session: " + row->not_in_session);
      return kUsage;
    }
  }
  try {
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    if (retry_usage_errors && error.get_exit_code() != 0) return kParseAgain;
    return parse_exit(app, error, args);
  }

  if (one_shot) {
    // Neither -s nor KEL_SAFE_STORE: the default store (an empty -s names
    // none). Named in full from here on, in every message and to the agent.
    if (context.store.empty() && store_option->count() == 0) {
      context.store = default_store_file();
    }
    context.store = absolute_store_path(context.store);
    // The environment's identity, unless the command line chose a key: a
    // --password-file or --password-fd given there is meant to be used,
    // and the identity set for every command would silently win over it.
    const char* env_identity = std::getenv("KEL_SAFE_IDENTITY");
    if (identity->count() == 0 && env_identity != nullptr && *env_identity != '\0' &&
        password_file->count() == 0 && password_fd->count() == 0) {
      if (key_file->count() != 0) {
        note("--key-file excludes --identity (KEL_SAFE_IDENTITY is set)");
        return kUsage;
      }
      context.passwords.identity = env_identity;
    }
    context.passwords.quiet = context.quiet;
    // The library's diagnostic lines are notes like the tool's own.
    if (context.quiet) {
      kel::set_diagnostics(nullptr);
    } else {
      kel::set_diagnostics([](std::string_view line) { note(line); });
    }
  }
  try {
    // An agent that serves the store runs the command instead, with no
    // password asked and no index built.
    if (one_shot) {
      if (auto status = through_agent(context, without_own_options(args))) return *status;
    }
    for (const Registered& sub : subcommands) {
      if (*sub.app && sub.run) return sub.run();
    }
    note("no subcommand");
    return kUsage;
  } catch (const Failure& failure) {
    note(failure.what());
    return failure.status();
  } catch (const std::bad_alloc&) {
    note("out of memory");
    return kInternal;
  } catch (const std::exception& error) {
    note(std::string("internal error: ") + error.what());
    return kInternal;
  }
}

}  // namespace

namespace {

// The subcommands registered for `mode`, by name, in the table's order.
std::vector<std::string> registered(CommandLineMode mode) {
  if (mode == CommandLineMode::session) return session_command_names();
  std::vector<std::string> names;
  for (const CommandRow& row : command_table()) {
    if (!row.session_only) names.emplace_back(row.name);
  }
  return names;
}

// The options of `sub` as typed, the names of one joined by commas
// ("-o,--output"), its help left out.
std::string option_words(const CLI::App& sub) {
  std::string words;
  for (const CLI::Option* option : sub.get_options()) {
    if (option->get_positional() || option->get_name() == "--help") continue;
    std::string names;
    for (const std::string& name : option->get_snames()) names += ",-" + name;
    for (const std::string& name : option->get_lnames()) names += ",--" + name;
    words += " " + names.substr(1);
  }
  return words.empty() ? words : words.substr(1);
}

// The command table as the parser registers it, one line a subcommand (and
// one for each of its own subcommands, as "agent start"): its words, a tab,
// where it runs ("one-shot", "session", "agent", space-separated), a tab,
// its options (space-separated; the names of one joined by commas). Not listed among the subcommands: it is for the test that
// holds kel-safe(1) and the completion scripts to the table, which reads
// the options from the parser itself rather than from a second list.
int describe_commands() {
  Context context;
  std::string out;
  for (const CommandRow& row : command_table()) {
    CLI::App app;
    CLI::App* sub = app.add_subcommand(row.name, row.summary);
    row.add(*sub, context);
    std::string places;
    if (!row.session_only) places += " one-shot";
    if (row.not_in_session == nullptr) places += " session";
    if (row.through_agent != nullptr) places += " agent";
    out += std::string(row.name) + "\t" + places.substr(1) + "\t" + option_words(*sub) + "\n";
    for (const CLI::App* nested : sub->get_subcommands([](CLI::App*) { return true; })) {
      out += std::string(row.name) + " " + nested->get_name() + "\t" + places.substr(1) +
             "\t" + option_words(*nested) + "\n";
    }
  }
  write_data(out);
  return kOk;
}

// What a session takes, by name.
const std::vector<std::string>& session_names() {
  static const std::vector<std::string> names = session_command_names();
  return names;
}

// What a line of a session runs: the same command line.
int run_session_line(Context& line, const std::vector<std::string>& words) {
  return run_command_line(line, words, CommandLineMode::session);
}

}  // namespace

int run_command_line(Context& context, const std::vector<std::string>& args,
                     CommandLineMode mode) {
  // The sessions this command line starts run their lines through it.
  context.run_line = run_session_line;
  if (mode == CommandLineMode::one_shot && args == std::vector<std::string>{"__commands"}) {
    return describe_commands();
  }
  // The detached process that get --clip leaves behind (clipboard.h).
  if (mode == CommandLineMode::one_shot && !args.empty() && args[0] == kClipboardClearer) {
    return run_clipboard_clearer(args);
  }
  // "help [COMMAND]" is "[COMMAND] --help"; the options of kel-safe itself
  // change nothing in a help text.
  const std::vector<std::string> given =
      mode == CommandLineMode::one_shot ? without_own_options(args) : args;
  if (!given.empty() && given.size() <= 2 && given[0] == "help") {
    std::vector<std::string> asked(given.begin() + 1, given.end());
    // A word that names no subcommand is told as such, with suggestions.
    if (!asked.empty()) {
      const std::vector<std::string> names = mode == CommandLineMode::session
                                                 ? session_names()
                                                 : registered(mode);
      if (std::find(names.begin(), names.end(), asked[0]) == names.end()) {
        return command_line(context, asked, mode);
      }
    }
    asked.emplace_back("--help");
    return run_command_line(context, asked, mode);
  }
  std::string only;
  if (mode == CommandLineMode::session && !args.empty()) {
    const auto& all = session_names();
    if (std::find(all.begin(), all.end(), args[0]) != all.end()) only = args[0];
    return command_line(context, args, mode, only);
  }
  // Registering every subcommand costs more than starting the process, so
  // the program registers only the one its first word names. A word that
  // names none registers nothing, and a usage error is parsed again with
  // everything, for the same message and suggestions.
  const std::vector<std::string> words = without_own_options(args);
  if (!words.empty() && !words.front().empty() && words.front()[0] != '-') {
    const int status =
        command_line(context, args, mode, words.front(), true);
    if (status != kParseAgain) return status;
  }
  return command_line(context, args, mode);
}

}  // namespace kel::tool
