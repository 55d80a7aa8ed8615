// Choosing entries by name for the commands that work on many at once.
#pragma once

#include <kel/entry.h>
#include <kel/safe.h>

#include <string>
#include <string_view>
#include <vector>

#include "commands.h"

namespace kel::tool {

// The stored names that begin with `prefix` (all when it is empty), sorted.
// `what` names the command in a failure.
std::vector<std::string> names_under(kel::Safe& safe, std::string_view prefix,
                                     const std::string& what, const std::string& path);

// What the entry `name`, chosen by --prefix `prefix`, goes by: the rest of
// its name. This is the one meaning of --prefix P wherever it is taken
// (run, export): the entries whose names begin with P, each under the rest
// of its name, so that "app/db" under "app/" is "db" as a variable, a JSON
// key or a file. Throws a Failure (kRejected) for `what` when nothing is
// left, as for an entry named P itself.
std::string name_below(std::string_view prefix, const std::string& name, const std::string& what);

// The entries of `names` with their values, read in one pass; nothing comes
// back unless every value authenticated.
std::vector<kel::Entry> read_entries(kel::Safe& safe, const std::vector<std::string>& names,
                                     const std::string& what, const std::string& path);

// A Safe for the store, its password checked, for a command `what`.
SafeHandle open_checked(const Context& context, const std::string& what);

// Asks on the terminal before secrets are written in clear, when standard
// input is a terminal and `yes` was not given. Throws a Failure (kRejected)
// unless the answer is "y" or "yes".
void confirm_clear_text(bool yes, const std::string& question);

}  // namespace kel::tool
