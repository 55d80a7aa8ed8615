// create, verify and passwd: the subcommands that make a store or work on
// its password (and passwd on its key derivation and store key).
#include <memory>
#include <optional>
#include <string>

#include "status.h"
#include "subcommand.h"
#include "usage.h"

namespace kel::tool {

namespace {

struct CreateArgs {
  bool group = false;
  bool generate = false;
  FormatArgs format;
};

}  // namespace

CommandRun add_create_command(CLI::App& sub, Context& context) {
  auto args = std::make_shared<CreateArgs>();
  sub.add_flag("--generate-password", args->generate,
               "Make a random store password of 24 characters that meets the "
               "policy, and print it once on standard output");
  sub.add_flag("--group", args->group,
               "Let the file's group read and write the store (mode 0660 "
               "less the umask); without it the store is private (0600)");
  add_kdf_options(&sub, args->format, true);
  return [&context, args] {
    // Silently ignored, they would leave the user believing the store
    // resists guessing as asked.
    if (args->format.format == 1 &&
        (args->format.time_ms != 0 || args->format.memory_mib != 0 ||
         args->format.passes != 0)) {
      throw Failure(kUsage, "create: --kdf-time, --kdf-memory and --kdf-passes are for "
                            "format 2; format 1 has no key derivation to set");
    }
    return cmd_create(context, args->group, args->generate, store_options(args->format));
  };
}

CommandRun add_verify_command(CLI::App&, Context& context) {
  return [&context] { return cmd_verify(context); };
}

namespace {

struct PasswdArgs {
  bool drop = false;
  bool rotate = false;
  bool recalibrate = false;
  FormatArgs format;
};

}  // namespace

CommandRun add_passwd_command(CLI::App& sub, Context& context) {
  auto args = std::make_shared<PasswdArgs>();
  auto* new_file = sub.add_option("--new-password-file", context.passwords.new_file,
                                  "Read the new password from the first line of FILE")
                       ->type_name("FILE");
  auto* new_fd = sub.add_option("--new-password-fd", context.passwords.new_fd,
                                "Read the new password from the first line of "
                                "descriptor N (may be the same as --password-fd: "
                                "then the old password is the first line, the new "
                                "one the second)")
                     ->type_name("N")
                     ->check(descriptor_number());
  new_file->excludes(new_fd);
  sub.add_flag("--drop-backup", args->drop,
               "Delete the backups (which open with the old password) once "
               "the change succeeded");
  sub.add_flag("--rotate-key", args->rotate,
               "Formats 2 and 3: also draw a new store key and seal every entry again under it, "
               "in one rewrite, so that neither the old password nor a copy of the old "
               "file opens anything stored from now on");
  add_kdf_options(&sub, args->format, false);
  sub.add_flag("--recalibrate", args->recalibrate,
               "Formats 2 and 3: calibrate Argon2id on this machine again, as create does");
  return [&context, args] {
    const FormatArgs& format = args->format;
    // Without any of these the store keeps its parameters.
    const bool new_kdf = args->recalibrate || format.time_ms != 0 ||
                         format.memory_mib != 0 || format.passes != 0 || format.lanes != 0;
    std::optional<kel::StoreOptions> kdf;
    if (new_kdf) kdf = store_options(format);
    return cmd_passwd(context, args->drop, args->rotate, kdf);
  };
}

}  // namespace kel::tool
