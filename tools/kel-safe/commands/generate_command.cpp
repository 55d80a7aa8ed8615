// kel-safe generate: stores a new random value, drawn from the library's
// random source, of chosen classes of characters. By default 24 characters
// with a digit, an upper-case and a lower-case letter and a symbol, which
// meets the store's own password policy; create --generate-password uses the
// same generator.
#include <kel/entry.h>
#include <kel/safe.h>

#include <memory>

#include "entry_selection.h"
#include "generator.h"
#include "status.h"
#include "streams.h"
#include "subcommand.h"

namespace kel::tool {

namespace {

struct GenerateOptions {
  std::string name;
  std::size_t length = kDefaultGeneratedLength;
  std::string charset = "upper,lower,digit,symbol";
  bool print = false;
  bool replace = false;
  bool drop_backup = false;
};

int run_generate(const Context& context, const GenerateOptions& options) {
  const std::string what = "generate " + tool::quoted(options.name);
  const CharacterClasses classes = parse_classes(options.charset, what);
  SafeHandle safe = open_checked(context, what);
  std::string error;
  const int stored = safe->exists(options.name, error);
  if (stored < 0) library_failure(what, safe->status(), error, store_file(context.store), options.name);
  if (stored == 1 && !options.replace) {
    throw Failure(kExists, what + ": Item exists (--replace rotates it)");
  }
  Secret value = generate_value(*safe, options.length, classes, what);
  kel::Entry entry(options.name);
  entry.set_value(value.str());
  const int rc = stored == 1 ? safe->replace_entry(entry, error) : safe->add_entry(entry, error);
  if (rc != 0) library_failure(what, safe->status(), error, store_file(context.store), options.name);
  if (options.print) {
    value.push_back('\n');
    write_data(value.view());
  }
  if (!context.quiet) {
    note((stored == 1 ? "replaced " : "stored ") + tool::quoted(options.name) + ": " +
         std::to_string(options.length) + " random characters");
  }
  if (stored == 1) {
    report_backup(context, safe->removal_backup_path(), options.drop_backup,
                  "still holds the old value");
  }
  return kOk;
}

}  // namespace

CommandRun add_generate_command(CLI::App& sub, Context& context) {
  auto options = std::make_shared<GenerateOptions>();
  CLI::App* command = &sub;
  command->add_option("NAME", options->name, "The entry's name")->required();
  command->add_option("-l,--length", options->length, "Number of characters")
      ->type_name("N")
      ->check(CLI::Range(1, 4096));
  command->add_option("--charset", options->charset,
                      "Comma-separated classes to draw from, each present at least once: "
                      "upper, lower, digit, symbol")
      ->type_name("CLASSES");
  command->add_flag("--print", options->print, "Also write the value to standard output");
  command->add_flag("--replace", options->replace,
                    "Replace the value of a stored NAME (rotation), in one step");
  command->add_flag("--drop-backup", options->drop_backup,
                    "With --replace: delete the backup (which still holds the old "
                    "value) once the change succeeded");
  return [&context, options] { return run_generate(context, *options); };
}

}  // namespace kel::tool
