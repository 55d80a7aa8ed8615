// kel-safe otp NAME [--at UNIX_TIME]: the current time-based one-time code
// (RFC 6238) of a value that holds an otpauth://totp/ URI or a bare base32
// secret, so that the second factor of a login lives beside its password.
#include <time.h>

#include <memory>
#include <string>

#include "entry_selection.h"
#include "status.h"
#include "streams.h"
#include "subcommand.h"
#include "totp.h"

namespace kel::tool {

namespace {

struct OtpArgs {
  std::string name;
  long long at = 0;  // signed: "-1" is refused, not wrapped around
  bool at_given = false;
};

int run_otp(const Context& context, const OtpArgs& args) {
  const std::string what = "otp " + tool::quoted(args.name);
  if (args.at_given && args.at < 0) {
    throw Failure(kUsage, "otp --at: UNIX_TIME is seconds since 1970, not " +
                              std::to_string(args.at));
  }
  SafeHandle safe = open_checked(context, what);
  const std::vector<kel::Entry> entries =
      read_entries(*safe, {args.name}, what, store_file(context.store));
  std::string why;
  const std::optional<TotpKey> key = totp_key(entries.front().value(), why);
  if (!key) throw Failure(kRejected, what + ": " + why);
  const std::uint64_t now = static_cast<std::uint64_t>(args.at_given ? args.at : time(nullptr));
  Secret code = totp_code(*key, now);
  code.push_back('\n');
  write_data(code.view());
  return kOk;
}

}  // namespace

CommandRun add_otp_command(CLI::App& sub, Context& context) {
  auto args = std::make_shared<OtpArgs>();
  sub.add_option("NAME", args->name,
                 "The entry whose value holds an otpauth://totp/ URI (on any of its "
                 "lines) or a base32 secret")
      ->required();
  sub.add_option_function<long long>(
         "--at",
         [args](long long at) {
           args->at = at;
           args->at_given = true;
         },
         "The code for this time (seconds since 1970) instead of now")
      ->type_name("UNIX_TIME");
  return [&context, args] { return run_otp(context, *args); };
}

}  // namespace kel::tool
