// kel-safe check: authenticates the header, every name and every value, and
// says what fails. The first line states the result; exit 0 when everything
// authenticates, 7 otherwise.
#include <kel/safe.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "status.h"
#include "streams.h"
#include "subcommand.h"

namespace kel::tool {

namespace {

std::string plural(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string text_report(const std::string& path, const IntegrityReport& report,
                        const kel::FormatInfo& format) {
  std::string out;
  if (report.clean()) {
    out = "intact: " + tool::quoted(path) + ": " +
          plural(report.intact, "entry authenticates", "entries authenticate") + "\n";
  } else {
    out = "damaged: " + tool::quoted(path) + ": " +
          plural(report.damaged.size(), "damaged region", "damaged regions") + ", " +
          plural(report.failed_values.size(), "value fails", "values fail") + ", " +
          plural(report.intact, "entry intact", "entries intact") + "\n";
  }
  for (const auto& region : report.damaged) {
    out += "damaged region at offset " + std::to_string(region.offset) + ", " +
           std::to_string(region.length) + " bytes: " + region.what + "\n";
  }
  for (const auto& name : report.failed_values) {
    out += "value does not authenticate: " + tool::quoted(name) + "\n";
  }
  if (report.unfinished_append > 0) {
    out += "unfinished append at the end: " + std::to_string(report.unfinished_append) +
           (report.unfinished_append_complete ? " bytes (the next write completes it)\n"
                                              : " bytes (the next write cuts it off)\n");
  }
  if (!report.clean()) {
    out += "kel-safe repair writes a new store with every entry that authenticates\n";
  }
  out += describe_format(format) + "\n";
  return out;
}

std::string json_report(const std::string& path, const IntegrityReport& report,
                        const kel::FormatInfo& format) {
  nlohmann::ordered_json regions = nlohmann::ordered_json::array();
  for (const auto& region : report.damaged) {
    regions.push_back(
        {{"offset", region.offset}, {"length", region.length}, {"what", region.what}});
  }
  nlohmann::ordered_json out;
  out["result"] = report.clean() ? "intact" : "damaged";
  out["store"] = path;
  out["intact"] = report.intact;
  out["damaged"] = regions;
  out["failed_values"] = report.failed_values;
  out["unfinished_append"] = report.unfinished_append;
  out["unfinished_append_complete"] = report.unfinished_append_complete;
  out["format"] = format.version;
  if (format.version >= 2) {
    out["kdf"] = {{"algorithm", "argon2id"},
                  {"memory_kib", format.kdf_memory_kib},
                  {"passes", format.kdf_passes},
                  {"lanes", format.kdf_lanes}};
  }
  // Names are raw bytes: what is not UTF-8 becomes U+FFFD.
  return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

int run_check(const Context& context, bool json) {
  require_store(context);
  const std::string path = store_file(context.store);
  SafeHandle safe = open_safe(context, "check");
  IntegrityReport report;
  std::string error;
  if (safe->check(report, error) != 0) library_failure("check", safe->status(), error, path);
  kel::FormatInfo format;
  if (safe->format_info(format, error) != 0) library_failure("check", safe->status(), error, path);
  write_data(json ? json_report(path, report, format) : text_report(path, report, format));
  return report.clean() ? kOk : kStoreError;
}

}  // namespace

CommandRun add_check_command(CLI::App& sub, Context& context) {
  auto json = std::make_shared<bool>(false);
  CLI::App* check = &sub;
  check->add_flag("--json", *json, "Print the report as one JSON object");
  return [&context, json] { return run_check(context, *json); };
}

}  // namespace kel::tool
