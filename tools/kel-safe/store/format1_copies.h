// The format-1 copies of a store kept beside it: the backups of a password
// change (".backup1") and of a rewrite (".backup2"), and the damaged files a
// repair set aside (".damaged-TIME"). Each opens with the password it had,
// at one cheap hash per guess, and holds the entries it had; once a store
// is format 2, they are what is left to guess at.
#pragma once

#include <string>
#include <vector>

#include "commands.h"

namespace kel::tool {

// The copies of the store `context` names that are regular files (not
// links) in format 1, backups first, then damaged files by name.
std::vector<std::string> format1_copies(const Context& context);

// Names each copy with the command that removes it, or, when `drop`,
// removes it (a file put in its place meanwhile is left alone and named).
void report_format1_copies(const Context& context, const std::vector<std::string>& copies,
                           bool drop);

}  // namespace kel::tool
