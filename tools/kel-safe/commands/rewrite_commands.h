// The subcommands that rewrite the store file in one step: mv and cp, and
// rm of several names. Each lives here and is registered with the parser by
// one call, so the main program only hands over.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"

namespace kel::tool {

class RewriteCommands {
 public:
  // Adds mv, cp and rm to `app`, those of them that `want` names.
  RewriteCommands(CLI::App& app, const std::function<bool(std::string_view)>& want);
  // Runs the one of them that was given, if any.
  std::optional<int> run(const Context& context) const;

 private:
  CLI::App* mv_ = nullptr;
  CLI::App* cp_ = nullptr;
  CLI::App* rm_ = nullptr;
  std::string from_, to_;
  std::vector<std::string> names_;
  bool replace_ = false;
  bool drop_backup_ = false;
};

}  // namespace kel::tool
