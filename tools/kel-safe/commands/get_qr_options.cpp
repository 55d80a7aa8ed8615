#include "get_qr_options.h"

#include "qr_code.h"
#include "status.h"

namespace kel::tool {

CLI::Option* add_qr_option(CLI::App& sub, bool& qr,
                           std::initializer_list<CLI::Option*> excluded) {
  auto* option = sub.add_flag("--qr", qr,
                              "Draw the value as a QR code on the terminal instead of printing "
                              "it (standard output must be a terminal, unless --force)");
  for (CLI::Option* other : excluded) option->excludes(other);
  return option;
}

int run_get_qr(const Context& context, const std::vector<std::string>& names, bool force,
               std::size_t line) {
  if (names.size() != 1) throw Failure(kUsage, "get --qr: give one NAME");
  return cmd_get_qr(context, names.front(), force, line);
}

}  // namespace kel::tool
