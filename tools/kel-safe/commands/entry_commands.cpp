// add, get, exists and ls: the subcommands on one entry's value or on the
// stored names.
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "get_clip_options.h"
#include "get_qr_options.h"
#include "status.h"
#include "streams.h"
#include "subcommand.h"
#include "value_line.h"

namespace kel::tool {

namespace {

struct AddArgs {
  std::string name;
  std::string file;
  AddMode mode = AddMode::add;
  bool drop_backup = false;
};

struct GetArgs {
  std::vector<std::string> names;
  std::string output;
  bool force = false;
  bool json = false;
  bool env = false;
  std::vector<std::string> as;
  long long line = 0;  // signed: "-1" is refused, not wrapped around
  GetClipArgs clip;
  bool qr = false;
};

struct LsArgs {
  bool json = false;
  bool null = false;
  bool long_format = false;
  bool escape = false;
  bool literal = false;
  std::string prefix;
};

}  // namespace

CommandRun add_add_command(CLI::App& sub, Context& context) {
  auto args = std::make_shared<AddArgs>();
  sub.add_option("NAME", args->name, "The entry's name (1 to 255 bytes)")->required();
  sub.add_option("-f,--file", args->file,
                 "Import the whole content of PATH, streamed: memory use does "
                 "not grow with its size")
      ->type_name("PATH");
  auto* replace = sub.add_flag_callback(
      "--replace", [args] { args->mode = AddMode::replace; },
      "Replace the value of NAME, which must be stored (rotation), in one "
      "step: readers get the old value or the new one, never none");
  sub.add_flag_callback("--replace-or-add", [args] { args->mode = AddMode::replace_or_add; },
                        "Replace the value of NAME, or add it when it is absent")
      ->excludes(replace);
  sub.add_flag("--drop-backup", args->drop_backup,
               "With --replace or --replace-or-add: delete the backup (which "
               "still holds the old value) once the change succeeded");
  return [&context, args] {
    return cmd_add(context, args->name, args->file, args->mode, args->drop_backup);
  };
}

CommandRun add_get_command(CLI::App& sub, Context& context) {
  auto args = std::make_shared<GetArgs>();
  sub.add_option("NAME", args->names, "The entry's name (several with --json or --env)");
  auto* out = sub.add_option("-o,--output", args->output,
                             "Write to a new FILE (mode 0600) instead, streamed; the "
                             "file appears only once the value has authenticated")
                  ->type_name("FILE");
  sub.add_flag("--force", args->force,
               "Let -o replace an existing file; let --qr draw into a file or pipe");
  auto* json = sub.add_flag("--json", args->json,
                            "Print one JSON object keyed by name; a value that "
                            "is not UTF-8 is {\"base64\": \"...\"}");
  auto* env = sub.add_flag("--env", args->env,
                           "Print NAME='value' lines (dotenv) that read back "
                           "byte for byte; a value they cannot hold is refused");
  sub.add_option("--as", args->as, "With --env: print NAME as the variable VAR (may be repeated)")
      ->type_name("VAR=NAME")
      ->allow_extra_args(false)  // one pair each: the names after it are NAMEs
      ->needs(env);
  json->excludes(env)->excludes(out);
  env->excludes(out);
  add_clip_options(sub, args->clip, {out, json, env});
  add_qr_option(sub, args->qr, {out, json, env, sub.get_option("--clip")});
  auto* line = sub.add_option("--line", args->line,
                 "Print only line N (1 is the first) of the value, without its line "
                 "end (\\n, or \\r\\n); with -o, write it to FILE; with --clip, copy it")
      ->type_name("N")
      ->excludes(json)
      ->excludes(env);
  return [&context, args, line] {
    if (line->count() > 0) {
      if (args->line < 1) {
        throw Failure(kUsage, "get --line: lines count from 1, not " + std::to_string(args->line));
      }
      if (args->names.size() != 1) throw Failure(kUsage, "get --line: give one NAME");
      if (args->qr) {
        return run_get_qr(context, args->names, args->force,
                          static_cast<std::size_t>(args->line));
      }
      if (args->clip.clip) {
        return run_get_clip(context, args->names, args->clip,
                            static_cast<std::size_t>(args->line));
      }
      return cmd_get_line(context, args->names.front(), static_cast<std::size_t>(args->line),
                          args->output, args->force);
    }
    if (args->clip.clip) return run_get_clip(context, args->names, args->clip);
    if (args->qr) return run_get_qr(context, args->names, args->force);
    if (args->json || args->env) {
      return cmd_get_values(context, args->names, args->as, args->json);
    }
    if (args->names.size() != 1) {
      throw Failure(kUsage, "get: give one NAME, or several with --json or --env");
    }
    return cmd_get(context, args->names.front(), args->output, args->force);
  };
}

CommandRun add_exists_command(CLI::App& sub, Context& context) {
  auto name = std::make_shared<std::string>();
  sub.add_option("NAME", *name, "The entry's name")->required();
  return [&context, name] { return cmd_exists(context, *name); };
}

CommandRun add_ls_command(CLI::App& sub, Context& context) {
  auto args = std::make_shared<LsArgs>();
  sub.add_option("PREFIX", args->prefix, "Only the names that begin with PREFIX");
  sub.add_flag("-l,--long", args->long_format,
               "Put each value's length in bytes and a tab before its name (no value "
               "is decrypted for it)");
  auto* json = sub.add_flag("--json", args->json,
                            "Print a JSON array of strings (bytes that are "
                            "not UTF-8 become U+FFFD)");
  auto* null = sub.add_flag("-0,--null", args->null,
                            "End each name with a zero byte instead of a "
                            "line end (names may hold any byte)");
  json->excludes(null);
  // As GNU ls does: a name's bytes could act on the terminal that shows
  // them (erase a line, write the clipboard), never on a pipe's reader.
  auto* escape = sub.add_flag(
      "-b,--escape", args->escape,
      "Show a name that holds control bytes (or bytes that are not text in the "
      "locale) as $'...' with \\xHH escapes, as a shell reads it back; the default "
      "when standard output is a terminal");
  sub.add_flag("-N,--literal", args->literal, "Print names byte for byte, on a terminal too")
      ->excludes(escape);
  return [&context, args] {
    return cmd_ls(context, args->json, args->null, args->prefix, args->long_format,
                  args->escape || (!args->literal && isatty(data_fd()) == 1));
  };
}

}  // namespace kel::tool
