// kel-safe: the command line over libkel-safe (command_line.cpp).
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "command_line.h"
#include "password.h"
#include "streams.h"

namespace {

// A core dump of this process would hold the store key and the values it
// handled; so would a debugger attached by another process of the same
// user. Neither is allowed. A file size limit ends a write with an error
// (reported, and the unfinished output removed) rather than killing the
// process.
void keep_secrets_in() {
  const struct rlimit none { 0, 0 };
  setrlimit(RLIMIT_CORE, &none);
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  signal(SIGXFSZ, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kel::tool;
  keep_secrets_in();
  setup_standard_streams();
  take_password_environment();
  Context context;
  return run_command_line(context,
                          std::vector<std::string>(argv + 1, argv + argc),
                          CommandLineMode::one_shot);
}
