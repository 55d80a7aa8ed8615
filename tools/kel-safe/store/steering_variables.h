// The environment variables that steer how programs run: what code they
// load or run, where they look for it or for their settings, and where
// their traffic and credentials go. `run --prefix` sets none of them from
// the store: a stored name, which whoever can add an entry chooses, must
// not decide what code the command runs. Such a variable is set only when
// the user names it (run --env VAR=ENTRY).
#pragma once

#include <string_view>

namespace kel::tool {

// Whether `variable` steers programs: it begins with '_' (as _JAVA_OPTIONS
// and the __GL_ family do), or it is one of the known names, or begins with
// one of the known families (LD_, PYTHON, GIT_, LESS, ...). Case does not
// matter: http_proxy steers as HTTP_PROXY does. The same list is printed in
// the man page under run.
bool steers_programs(std::string_view variable);

}  // namespace kel::tool
