// The store format on the command line: create's --format, --kdf-time,
// --kdf-memory, --kdf-passes and --kdf-lanes (upgrade's and passwd's too),
// the upgrade subcommand, and the words check and create use
// to describe a store's format.
#include <kel/safe.h>

#include <memory>
#include <string>

#include "status.h"
#include "streams.h"
#include "format1_copies.h"
#include "subcommand.h"

namespace kel::tool {

void add_kdf_options(CLI::App* sub, FormatArgs& args, bool with_format) {
  if (with_format) {
    sub->add_option("--format", args.format,
                    "Store format: 3 (default; the key is derived with Argon2id, which "
                    "makes every guess of the password slow and memory-hungry, and "
                    "records moved, removed or spliced in from another copy show), 2 "
                    "(Argon2id, without that evidence) or 1 (a salted SHA3-512 hash of "
                    "the password: cheap to guess)")
        ->check(CLI::IsMember({1, 2, 3}))
        ->type_name("N");
  }
  sub->add_option("--kdf-time", args.time_ms,
                  "Formats 2 and 3: calibrate Argon2id to cost about MS milliseconds of CPU time "
                  "here (default 500; never less than 64 MiB with 3 passes)")
      ->check(CLI::Range(1, 60000))
      ->type_name("MS");
  sub->add_option("--kdf-memory", args.memory_mib,
                  "Formats 2 and 3: Argon2id memory in MiB, 19 to 4096 (default: 64 to 256, "
                  "calibrated)")
      ->check(CLI::Range(19, 4096))
      ->type_name("MIB");
  sub->add_option("--kdf-passes", args.passes,
                  "Formats 2 and 3: Argon2id passes, 1 to 1024, instead of calibrating them; "
                  "memory times passes must be at least 38 MiB (19 MiB with 2 passes)")
      ->check(CLI::Range(1, 1024))
      ->type_name("N");
  sub->add_option("--kdf-lanes", args.lanes, "Formats 2 and 3: Argon2id lanes, 1 to 64 (default 4)")
      ->check(CLI::Range(1, 64))
      ->type_name("N");
}

kel::StoreOptions store_options(const FormatArgs& args) {
  // The library refuses these too; said here, it is a usage error that
  // names the options, before any password is asked for.
  if (args.passes != 0 && args.memory_mib != 0 && args.memory_mib * args.passes < 38) {
    throw Failure(kUsage, "--kdf-memory " + std::to_string(args.memory_mib) +
                              " with --kdf-passes " + std::to_string(args.passes) +
                              " is below the minimum for a new store: memory times passes "
                              "at least 38 MiB (19 MiB with 2 passes)");
  }
  kel::StoreOptions options;
  options.format = args.format;
  options.kdf_memory_kib = args.memory_mib * 1024;
  options.kdf_passes = args.passes;
  if (args.time_ms > 0) options.kdf_time_ms = args.time_ms;
  if (args.lanes > 0) options.kdf_lanes = args.lanes;
  return options;
}

std::string describe_format(const kel::FormatInfo& info) {
  if (info.version == 1) {
    return "format 1: a salted SHA3-512 hash of the password guards the store "
           "(cheap to guess; kel-safe upgrade makes it format 3)";
  }
  return "format " + std::to_string(info.version) + ": Argon2id with " + std::to_string(info.kdf_memory_kib / 1024) + " MiB, " +
         std::to_string(info.kdf_passes) + (info.kdf_passes == 1 ? " pass, " : " passes, ") +
         std::to_string(info.kdf_lanes) + (info.kdf_lanes == 1 ? " lane" : " lanes");
}

namespace {

int run_upgrade(const Context& context, const FormatArgs& args, bool drop) {
  store_options(args);  // refuses parameters below the minimum before anything is read
  require_store(context);
  const std::string path = store_file(context.store);
  std::string error;
  kel::FormatInfo info;
  const std::unique_ptr<kel::Safe> reader = make_safe(context, Secret());
  if (reader->format_info(info, error) != 0) {
    library_failure("upgrade", reader->status(), error, path);
  }
  if (info.version == 3) {
    if (!context.quiet) note(tool::quoted(path) + " is " + describe_format(info) + " already");
    // Copies an earlier upgrade left are still named, and dropped when asked.
    report_format1_copies(context, format1_copies(context), drop);
    return kOk;
  }
  // Checking a format-1 password does not open the store, so that Safe
  // still holds the password the new header is made with; checking a
  // format-2 one opens it (and wipes it there), so a Safe of its own makes
  // the upgrade with the password the check accepted.
  Secret password;
  SafeHandle checked = open_safe(context, "upgrade", &password);
  std::unique_ptr<kel::Safe> fresh;
  kel::Safe* safe = checked.get();
  if (info.version == 2) {
    fresh = make_safe(context, password);
    safe = fresh.get();
  }
  FormatArgs wanted = args;
  wanted.format = 3;
  if (safe->upgrade(store_options(wanted), error) != 0) {
    library_failure("upgrade", safe->status(), error, path);
  }
  if (!context.quiet) {
    if (safe->format_info(info, error) == 0) note("upgraded " + tool::quoted(path) + " to " +
                                                  describe_format(info));
  }
  // The new store key is in none of them, but each still holds the entries
  // it had, at one cheap hash per guess of the password it had.
  report_format1_copies(context, format1_copies(context), drop);
  return kOk;
}

}  // namespace

CommandRun add_upgrade_command(CLI::App& sub, Context& context) {
  auto args = std::make_shared<FormatArgs>();
  auto drop = std::make_shared<bool>(false);
  CLI::App* upgrade = &sub;
  add_kdf_options(upgrade, *args, false);
  upgrade->add_flag("--drop-backup", *drop,
                    "Delete every format-1 copy of the store kept beside it (PATH.safe.backup1, "
                    ".backup2, .damaged-TIME) once the upgrade is done");
  return [&context, args, drop] { return run_upgrade(context, *args, *drop); };
}

}  // namespace kel::tool
