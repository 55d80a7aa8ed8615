// get NAME --qr: a value drawn as a QR code on the terminal, for a phone's
// camera to read, as `pass show -q` draws one. The value never leaves the
// process but as the drawing.
#pragma once

#include <string>
#include <string_view>

#include "commands.h"

namespace kel::tool {

// The QR code of `value` (its bytes as they are, in byte mode), drawn with
// Unicode half blocks, two rows of modules to a line of text: dark modules
// on a light ground (set by ANSI colours, whatever the terminal's own),
// inside the quiet zone of 4 light modules that readers need. Error
// correction level M: it survives a seventh of the code lost to glare or a
// cursor over it, yet still holds 2331 bytes (version 40). Throws a
// Failure (kRejected) for `what` when the value is empty or too long.
Secret draw_qr_code(std::string_view value, const std::string& what);

// get NAME --qr [--line N]: the value (or its line N, when not 0) as a QR
// code on standard output, which must be a terminal unless `force` (a
// drawing in a file or pipe is the value for anyone who reads that).
int cmd_get_qr(const Context& context, const std::string& name, bool force,
               std::size_t line = 0);

}  // namespace kel::tool
