// kel-safe repair: writes a new store with every record that authenticates,
// keeps the damaged file beside it, and says what was dropped and renamed.
#include <kel/safe.h>

#include <memory>
#include <string>

#include "status.h"
#include "streams.h"
#include "subcommand.h"

namespace kel::tool {

namespace {

int run_repair(const Context& context) {
  require_store(context);
  const std::string path = store_file(context.store);
  SafeHandle safe = open_safe(context, "repair");
  IntegrityReport report;
  std::string error;
  if (safe->repair(report, error) != 0) library_failure("repair", safe->status(), error, path);
  if (!report.rewritten) {
    write_data("intact: " + tool::quoted(path) + ": nothing to repair\n");
    return kOk;
  }
  std::string out = "repaired: " + tool::quoted(path) + ": " +
                    std::to_string(report.intact) + " entries kept, " +
                    std::to_string(report.dropped.size()) + " dropped, " +
                    std::to_string(report.renamed.size()) + " renamed\n";
  for (const auto& line : report.dropped) out += "dropped " + line + "\n";
  if (!report.failed_values.empty()) {
    out += "the entries dropped for a value that does not authenticate:";
    for (const auto& name : report.failed_values) out += " " + tool::quoted(name);
    out += "\n";
  }
  for (const auto& [name, what] : report.renamed) {
    out += "renamed " + what + " to " + tool::quoted(name) + "\n";
  }
  out += "the damaged file is kept as " + tool::quoted(report.backup) + "\n";
  write_data(out);
  return kOk;
}

}  // namespace

CommandRun add_repair_command(CLI::App&, Context& context) {
  return [&context] { return run_repair(context); };
}

}  // namespace kel::tool
