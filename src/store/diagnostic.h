// Library-internal: one diagnostic line to the sink the application chose
// (kel/diagnostics.h), standard error by default.
#pragma once

#include <string_view>

namespace kel::detail {

// Never throws, whatever the sink does.
void diagnostic(std::string_view line) noexcept;

}  // namespace kel::detail
