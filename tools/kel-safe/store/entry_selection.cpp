#include "entry_selection.h"

#include <unistd.h>

#include <algorithm>

#include "status.h"
#include "terminal.h"

namespace kel::tool {

std::vector<std::string> names_under(kel::Safe& safe, std::string_view prefix,
                                     const std::string& what, const std::string& path) {
  std::vector<std::string> names;
  std::string error;
  if (safe.list_entries(names, error) != 0) library_failure(what, safe.status(), error, path);
  std::erase_if(names, [prefix](const std::string& name) {
    return name.compare(0, prefix.size(), prefix) != 0;
  });
  std::sort(names.begin(), names.end());
  return names;
}

std::string name_below(std::string_view prefix, const std::string& name, const std::string& what) {
  if (name.size() == prefix.size()) {
    throw Failure(kRejected, what + ": the entry " + tool::quoted(name) +
                                 " has no name below the prefix " + tool::quoted(prefix));
  }
  return name.substr(prefix.size());
}

std::vector<kel::Entry> read_entries(kel::Safe& safe, const std::vector<std::string>& names,
                                     const std::string& what, const std::string& path) {
  std::vector<kel::Entry> entries;
  entries.reserve(names.size());
  for (const std::string& name : names) entries.emplace_back(name);
  std::string error;
  if (safe.get_entries(entries, error) == 0) return entries;
  const kel::Status code = safe.status();
  // The one concerned, of the names the tool asked for: the first one not
  // stored, the first one no entry can have, or the first one asked for
  // twice.
  if (code == kel::Status::not_found) {
    for (const std::string& name : names) {
      if (!safe.exists(name)) library_failure(what, code, error, path, name);
    }
  }
  if (code == kel::Status::invalid_argument) {
    for (const std::string& name : names) {
      if (name.empty() || name.size() > 255) library_failure(what, code, error, path, name);
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (std::find(names.begin(), names.begin() + i, names[i]) != names.begin() + i) {
        throw Failure(kRejected, what + ": the name " + tool::quoted(names[i]) +
                                     " is given twice (" + error + ")");
      }
    }
  }
  library_failure(what, code, error, path);
}

SafeHandle open_checked(const Context& context, const std::string& what) {
  require_store(context);
  return open_safe(context, what);
}

void confirm_clear_text(bool yes, const std::string& question) {
  if (yes || isatty(0) != 1) return;
  Terminal terminal("a confirmation (or give --yes)");
  // The answer is no secret: the user sees what was typed.
  const std::string answer = terminal.ask(question + " [y/N] ");
  if (answer != "y" && answer != "yes") {
    throw Failure(kRejected, "nothing written: not confirmed");
  }
}

}  // namespace kel::tool
