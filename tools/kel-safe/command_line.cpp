// The command line of kel-safe: every subcommand registered with CLI11 in
// one place and run from here, for the one-shot program and for each line of
// a session alike; every failure ends as one line on standard error and an
// exit status of its class (status.h).
#include "command_line.h"

#include <CLI/CLI.hpp>
#include <kel/diagnostics.h>

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <iostream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "agent.h"
#include "commands.h"
#include "rewrite_commands.h"
#include "session.h"
#include "status.h"
#include "streams.h"
#include "subcommand.h"
#include "usage.h"

namespace kel::tool {

namespace {

const char* const kEnvironment =
    "Environment:\n"
    "  KEL_SAFE_STORE         the store, when -s is not given\n"
    "  KEL_SAFE_PASSWORD      the store password, when neither --password-file\n"
    "                         nor --password-fd is given. Other processes of\n"
    "                         the same user (and root) can read a process's\n"
    "                         environment, and shells may keep it in history:\n"
    "                         prefer --password-file or --password-fd.\n"
    "  KEL_SAFE_NEW_PASSWORD  the new password for passwd\n"
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

// The subcommands a session refuses, and why: each needs the store closed,
// a password of its own, or the whole process.
const char* why_not_in_session(const std::string& name) {
  if (name == "create") return "a session works on a store that exists";
  if (name == "verify") return "the session's password unlocked the store already";
  if (name == "passwd") {
    return "the password cannot change under an open session; leave it (exit) and "
           "run kel-safe passwd";
  }
  if (name == "run") return "run replaces the process; run it outside the session";
  if (name == "shell") return "this is a session already";
  if (name == "agent") return "the agent is started and asked outside a session";
  if (name == "upgrade") {
    return "an upgrade needs the password, which the open session no longer holds; "
           "leave it (exit) and run kel-safe upgrade";
  }
  return nullptr;
}

// Registers the subcommands (every one, or `only` that one), then either
// lists their names in `names`, or parses `args` and runs the one they name.
// With `only` set and `retry_usage_errors`, a usage error returns
// kParseAgain instead of being told: the caller parses again with every
// subcommand registered, so that the message and its suggestions are the
// same as without the shortcut.
constexpr int kParseAgain = -1;

int command_line(Context& context, const std::vector<std::string>& args,
                 CommandLineMode mode, std::vector<std::string>* names,
                 const std::string& only = {}, bool retry_usage_errors = false) {
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
  if (one_shot) {
    app.add_option("-s,--store", context.store,
                   "The store file (\".safe\" is appended unless the name ends "
                   "with it)")
        ->envname("KEL_SAFE_STORE")
        ->type_name("PATH");
    auto* password_file =
        app.add_option("--password-file", context.passwords.file,
                       "Read the store password from the first line of FILE")
            ->type_name("FILE");
    auto* password_fd =
        app.add_option("--password-fd", context.passwords.fd,
                       "Read the store password from the first line of the "
                       "inherited descriptor N")
            ->type_name("N")
            ->check(descriptor_number());
    password_file->excludes(password_fd);
    app.add_flag("-q,--quiet", context.quiet,
                 "Print no notes on standard error, only failures");
  }

  // A session registers only the subcommand its line names (the parser is
  // made again for every line, and all of it costs more than the command);
  // everything is registered for the program's own command line, for help,
  // and for a word that names no subcommand.
  // A session registers only what it accepts, so that its help, its
  // suggestions and its completion offer nothing it would refuse.
  const auto want = [&only, one_shot](std::string_view name) {
    return (only.empty() || only == name) &&
           (one_shot || why_not_in_session(std::string(name)) == nullptr);
  };
  const auto given = [](const CLI::App* sub) { return sub != nullptr && sub->parsed(); };
  CLI::App* create = nullptr;
  CLI::App* verify = nullptr;
  CLI::App* passwd = nullptr;
  CLI::App* add = nullptr;
  CLI::App* get = nullptr;
  CLI::App* exists = nullptr;
  CLI::App* ls = nullptr;
  CLI::App* version = nullptr;
  bool create_group = false;
  bool create_generate = false;
  FormatArgs create_format;
  bool passwd_drop = false;
  std::string add_name;
  std::string add_file;
  AddMode add_mode = AddMode::add;
  bool add_drop = false;
  std::vector<std::string> get_names;
  std::string get_output;
  bool get_force = false;
  bool get_json = false;
  bool get_env = false;
  std::vector<std::string> get_as;
  std::string exists_name;
  bool ls_json = false;
  bool ls_null = false;
  bool ls_long = false;
  bool ls_escape = false;
  bool ls_literal = false;
  std::string ls_prefix;
  std::string help_topic;

  if (want("create")) {
    create = app.add_subcommand(
        "create", "Make a new, empty store; the password is asked twice");
    create->add_flag("--generate-password", create_generate,
                     "Make a random store password of 24 characters that meets the "
                     "policy, and print it once on standard output");
    create->add_flag("--group", create_group,
                     "Let the file's group read and write the store (mode 0660 "
                     "less the umask); without it the store is private (0600)");
    add_kdf_options(create, create_format, true);
  }

  if (want("verify")) {
    verify = app.add_subcommand(
        "verify",
        "Check the password: exit 0 when it unlocks the store, 1 when not (check "
        "tests the entries' integrity)");
  }

  if (want("passwd")) {
    passwd = app.add_subcommand(
        "passwd", "Change the store password; the old file is kept as PATH.safe.backup1");
    auto* new_file = passwd
                         ->add_option("--new-password-file", context.passwords.new_file,
                                      "Read the new password from the first line of FILE")
                         ->type_name("FILE");
    auto* new_fd = passwd
                       ->add_option("--new-password-fd", context.passwords.new_fd,
                                    "Read the new password from the first line of "
                                    "descriptor N (may be the same as --password-fd: "
                                    "then the old password is the first line, the new "
                                    "one the second)")
                       ->type_name("N")
                       ->check(descriptor_number());
    new_file->excludes(new_fd);
    passwd->add_flag("--drop-backup", passwd_drop,
                     "Delete the backup (which opens with the old password) once "
                     "the change succeeded");
  }

  if (want("add")) {
    add = app.add_subcommand(
        "add", "Store a value under NAME: read from standard input (all of it, "
               "as raw bytes), typed on the terminal, or from --file");
    add->add_option("NAME", add_name, "The entry's name (1 to 255 bytes)")->required();
    add->add_option("-f,--file", add_file,
                    "Import the whole content of PATH, streamed: memory use does "
                    "not grow with its size")
        ->type_name("PATH");
    auto* replace = add->add_flag_callback(
        "--replace", [&add_mode] { add_mode = AddMode::replace; },
        "Replace the value of NAME, which must be stored (rotation), in one "
        "step: readers get the old value or the new one, never none");
    add->add_flag_callback("--replace-or-add",
                           [&add_mode] { add_mode = AddMode::replace_or_add; },
                           "Replace the value of NAME, or add it when it is absent")
        ->excludes(replace);
    add->add_flag("--drop-backup", add_drop,
                  "With --replace or --replace-or-add: delete the backup (which "
                  "still holds the old value) once the change succeeded");
  }

  if (want("get")) {
    get = app.add_subcommand(
        "get", "Write the value of NAME to standard output, byte for byte; several "
               "names with --json or --env");
    get->add_option("NAME", get_names, "The entry's name (several with --json or --env)");
    auto* get_out = get->add_option("-o,--output", get_output,
                                    "Write to a new FILE (mode 0600) instead, streamed; the "
                                    "file appears only once the value has authenticated")
                        ->type_name("FILE");
    get->add_flag("--force", get_force, "Let -o replace an existing file");
    auto* get_json_flag = get->add_flag("--json", get_json,
                                        "Print one JSON object keyed by name; a value that "
                                        "is not UTF-8 is {\"base64\": \"...\"}");
    auto* get_env_flag = get->add_flag("--env", get_env,
                                       "Print NAME='value' lines (dotenv) that read back "
                                       "byte for byte; a value they cannot hold is refused");
    get->add_option("--as", get_as,
                    "With --env: print NAME as the variable VAR (may be repeated)")
        ->type_name("VAR=NAME")
        ->allow_extra_args(false)  // one pair each: the names after it are NAMEs
        ->needs(get_env_flag);
    get_json_flag->excludes(get_env_flag)->excludes(get_out);
    get_env_flag->excludes(get_out);
  }

  if (want("exists")) {
    exists = app.add_subcommand(
        "exists", "Exit 0 when NAME is stored, 1 when it is not");
    exists->add_option("NAME", exists_name, "The entry's name")->required();
  }

  if (want("ls")) {
    ls = app.add_subcommand("ls", "List the stored names (under PREFIX), sorted, one a line");
    ls->add_option("PREFIX", ls_prefix, "Only the names that begin with PREFIX");
    ls->add_flag("-l,--long", ls_long,
                 "Put each value's length in bytes and a tab before its name (no value "
                 "is decrypted for it)");
    auto* json_flag = ls->add_flag("--json", ls_json,
                                   "Print a JSON array of strings (bytes that are "
                                   "not UTF-8 become U+FFFD)");
    auto* null_flag = ls->add_flag("-0,--null", ls_null,
                                   "End each name with a zero byte instead of a "
                                   "line end (names may hold any byte)");
    json_flag->excludes(null_flag);
    // As GNU ls does: a name's bytes could act on the terminal that shows
    // them (erase a line, write the clipboard), never on a pipe's reader.
    auto* escape_flag = ls->add_flag(
        "-b,--escape", ls_escape,
        "Show a name that holds control bytes (or bytes that are not text in the "
        "locale) as $'...' with \\xHH escapes, as a shell reads it back; the default "
        "when standard output is a terminal");
    ls->add_flag("-N,--literal", ls_literal, "Print names byte for byte, on a terminal too")
        ->excludes(escape_flag);
  }

  const RewriteCommands rewrites(app, want);

  if (want("version")) {
    version = app.add_subcommand("version", "Print the tool's and the library's version");
  }
  Subcommands subcommands;
  if (want("check")) add_check_command(app, context, subcommands);
  if (want("repair")) add_repair_command(app, context, subcommands);
  if (want("upgrade")) add_upgrade_command(app, context, subcommands);
  if (want("export")) add_export_command(app, context, subcommands);
  if (want("import")) add_import_command(app, context, subcommands);
  if (want("generate")) add_generate_command(app, context, subcommands);
  if (want("run")) add_run_command(app, context, subcommands);
  if (want("shell")) add_shell_command(app, context, subcommands);
  if (want("agent")) add_agent_command(app, context, subcommands);
  // What a session does itself (session.cpp, shell.cpp, batch.cpp), listed
  // with the rest; registered here only to be listed and told apart.
  if (!one_shot && want("lock")) {
    app.add_subcommand("lock", "Lock the store: its key is wiped, and the next command "
                               "asks for the password again");
  }
  if (!one_shot && want("exit")) app.add_subcommand("exit", "Leave the session (so does quit)");
  CLI::App* help = nullptr;
  if (want("help")) {
    // Runs as "COMMAND --help" (run_command_line); registered to be listed.
    help = app.add_subcommand("help", "Show the help of COMMAND, or this help");
    help->add_option("COMMAND", help_topic, "A subcommand");
  }

  // Set last: subcommands copy their parent's footer when they are made.
  // A session's store and password are chosen already: the environment
  // has nothing more to say there.
  app.footer(std::string("\n") + (one_shot ? kEnvironment : "") + std::string(status_table()) +
             "\nSee kel-safe(1) for more.\n");
  for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
    std::string footer =
        one_shot ? "\nThe options of kel-safe itself (-s, --password-file, --password-fd,\n"
                   "-q) may come before or after the subcommand: kel-safe --help lists\n"
                   "them, the environment variables and the exit statuses.\n"
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

  if (names != nullptr) {
    for (const CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
      names->push_back(sub->get_name());
    }
    return kOk;
  }

  if (!one_shot && !args.empty()) {
    if (const char* why = why_not_in_session(args[0])) {
      note(args[0] + ": not inside a session: " + why);
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
    if (given(create)) {
      // Silently ignored, they would leave the user believing the store
      // resists guessing as asked.
      if (create_format.format == 1 &&
          (create_format.time_ms != 0 || create_format.memory_mib != 0)) {
        throw Failure(kUsage, "create: --kdf-time and --kdf-memory are for format 2; format 1 "
                              "has no key derivation to set");
      }
      return cmd_create(context, create_group, create_generate, store_options(create_format));
    }
    if (given(verify)) return cmd_verify(context);
    if (given(passwd)) return cmd_passwd(context, passwd_drop);
    if (given(add)) return cmd_add(context, add_name, add_file, add_mode, add_drop);
    if (given(get)) {
      if (get_json || get_env) return cmd_get_values(context, get_names, get_as, get_json);
      if (get_names.size() != 1) {
        throw Failure(kUsage, "get: give one NAME, or several with --json or --env");
      }
      return cmd_get(context, get_names.front(), get_output, get_force);
    }
    if (given(exists)) return cmd_exists(context, exists_name);
    if (given(ls)) {
      return cmd_ls(context, ls_json, ls_null, ls_prefix, ls_long,
                    ls_escape || (!ls_literal && isatty(data_fd()) == 1));
    }
    if (auto status = rewrites.run(context)) return *status;
    if (given(version)) return cmd_version();
    if (given(help)) throw Failure(kUsage, "help: give one subcommand at most");
    for (const Subcommand& sub : subcommands) if (*sub.app) return sub.run();
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

// The subcommands registered for `mode`, by name.
std::vector<std::string> registered(CommandLineMode mode) {
  Context context;
  std::vector<std::string> all;
  command_line(context, {}, mode, &all);
  return all;
}

// What a session takes, as registered.
const std::vector<std::string>& all_subcommands() {
  static const std::vector<std::string> names = registered(CommandLineMode::session);
  return names;
}

}  // namespace

int run_command_line(Context& context, const std::vector<std::string>& args,
                     CommandLineMode mode) {
  // "help [COMMAND]" is "[COMMAND] --help"; the options of kel-safe itself
  // change nothing in a help text.
  const std::vector<std::string> given =
      mode == CommandLineMode::one_shot ? without_own_options(args) : args;
  if (!given.empty() && given.size() <= 2 && given[0] == "help") {
    std::vector<std::string> asked(given.begin() + 1, given.end());
    // A word that names no subcommand is told as such, with suggestions.
    if (!asked.empty()) {
      const std::vector<std::string> names = mode == CommandLineMode::session
                                                 ? all_subcommands()
                                                 : registered(mode);
      if (std::find(names.begin(), names.end(), asked[0]) == names.end()) {
        return command_line(context, asked, mode, nullptr);
      }
    }
    asked.emplace_back("--help");
    return run_command_line(context, asked, mode);
  }
  std::string only;
  if (mode == CommandLineMode::session && !args.empty()) {
    const auto& all = all_subcommands();
    if (std::find(all.begin(), all.end(), args[0]) != all.end()) only = args[0];
    return command_line(context, args, mode, nullptr, only);
  }
  // Registering every subcommand costs more than starting the process, so
  // the program registers only the one its first word names. A word that
  // names none registers nothing, and a usage error is parsed again with
  // everything, for the same message and suggestions.
  const std::vector<std::string> words = without_own_options(args);
  if (!words.empty() && !words.front().empty() && words.front()[0] != '-') {
    const int status =
        command_line(context, args, mode, nullptr, words.front(), true);
    if (status != kParseAgain) return status;
  }
  return command_line(context, args, mode, nullptr);
}

std::vector<std::string> session_subcommands() { return all_subcommands(); }

}  // namespace kel::tool
