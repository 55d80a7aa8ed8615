// keygen [-o FILE]: a new identity, for a recipient slot (kel/key_slots.h).
// With -o the identity goes to FILE, made 0600 and never over a file that
// exists, and the public key to standard output, alone on its line, so
// that a script can take it. Without -o the identity goes to standard
// output, as age-keygen's does, but only when that is no terminal (a
// secret on the screen stays in its scrollback): "kel-safe keygen > FILE";
// the public key is then told on standard error.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <kel/key_slots.h>

#include <memory>
#include <string>

#include "secret.h"
#include "status.h"
#include "streams.h"
#include "subcommand.h"

namespace kel::tool {

namespace {

// The identity's text, wiped however the command ends.
struct IdentityText {
  std::string text;
  ~IdentityText() { wipe(text); }
};

void write_identity_file(const std::string& path, const std::string& text) {
  // O_EXCL: an identity in the way is someone's key to their stores, and
  // a link there would lead the secret elsewhere.
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                   0600));
  if (!fd) {
    if (errno == EEXIST) {
      throw Failure(kExists, "keygen: " + tool::quoted(path) +
                                 " exists already; keygen never writes over a file (an "
                                 "identity there may be the only key to a store)");
    }
    throw Failure(kFileError, "keygen: cannot create " + tool::quoted(path) + ": " + strerror(errno));
  }
  try {
    // The mode asked for at creation is narrowed by the umask only.
    if (fchmod(fd.get(), 0600) != 0) {
      throw Failure(kFileError, "keygen: cannot make " + tool::quoted(path) + " private: " +
                                    strerror(errno));
    }
    write_all(fd.get(), text, tool::quoted(path));
    if (fsync(fd.get()) != 0) {
      throw Failure(kFileError, "keygen: cannot sync " + tool::quoted(path) + ": " + strerror(errno));
    }
  } catch (const Failure&) {
    // Half an identity opens nothing: it goes.
    unlink(path.c_str());
    throw;
  }
}

int run_keygen(const Context& context, const std::string& output) {
  if (output.empty() && isatty(1) == 1) {
    throw Failure(kUsage,
                  "keygen: the identity is a secret, and standard output is a terminal: give "
                  "-o FILE, or send standard output to a file (kel-safe keygen > FILE)");
  }
  IdentityText identity;
  std::string public_key, error;
  if (kel::generate_identity(identity.text, public_key, error) != kel::Status::ok) {
    throw Failure(kInternal, "keygen: cannot make an identity (" + error + ")");
  }
  if (output.empty()) {
    struct stat info {};
    if (fstat(1, &info) == 0 && S_ISREG(info.st_mode) &&
        (info.st_mode & (S_IRGRP | S_IROTH)) != 0 && !context.quiet) {
      note("warning: standard output is a file other users may read; the identity "
           "opens stores without a password (chmod 600 it)");
    }
    write_data(identity.text);
    write_all(2, "public key: " + public_key + "\n", "standard error");
    return kOk;
  }
  write_identity_file(output, identity.text);
  write_data(public_key + "\n");
  if (!context.quiet) {
    note("wrote a new identity to " + tool::quoted(output) +
         ": keep it secret; its public key (on standard output) is what a store's owner "
         "grants: kel-safe grant --recipient KEY");
  }
  return kOk;
}

}  // namespace

CommandRun add_keygen_command(CLI::App& sub, Context& context) {
  auto output = std::make_shared<std::string>();
  sub.add_option("-o,--output", *output,
                 "Write the identity to FILE (made 0600; never over a file that exists) "
                 "and print its public key on standard output")
      ->type_name("FILE");
  return [&context, output] { return run_keygen(context, *output); };
}

}  // namespace kel::tool
