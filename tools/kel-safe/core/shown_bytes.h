// Stored names shown to a person. A name may hold any byte, and a byte such
// as ESC, sent raw to a terminal, acts on it: it can erase a line, retitle
// the window or write the clipboard (OSC 52). Everything the tool shows a
// person passes through here, so that no byte of a name can do that, while
// text in the user's own script (valid UTF-8 under a UTF-8 locale) still
// reads as itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kel::tool {

// Decodes one UTF-8 sequence at `text[i]`; returns its length, or 0 when the
// bytes there are not valid UTF-8 (overlong forms and surrogates included).
std::size_t utf8_sequence(std::string_view text, std::size_t i, std::uint32_t& code);

// Whether the user's locale, as LC_ALL, LC_CTYPE and LANG choose it (the
// first that is set), uses UTF-8. Read once.
bool utf8_locale();

// Appends `bytes` to `out`, every byte that could act on a terminal as
// \xHH: the C0 controls, DEL and the C1 controls, and every byte beyond
// ASCII unless `utf8` and it is part of a valid UTF-8 sequence. The
// characters in `also` get a backslash before them. Returns whether any
// byte was escaped.
bool append_shown(std::string& out, std::string_view bytes, bool utf8,
                  std::string_view also = {});

// A name for a listing on a terminal: as it is when none of its bytes needs
// escaping and it does not begin with $', otherwise $'...' with \xHH
// escapes, which bash, zsh and ksh read back as the same bytes.
std::string listed_name(std::string_view name, bool utf8);

// `bytes` as one shell word that reads back as the same bytes, for a
// command the user may copy: between single quotes (a quote inside as
// '\''), or, when a byte needs escaping as above, $'...' with \xHH
// escapes (bash, zsh and ksh).
std::string shell_word(std::string_view bytes, bool utf8);

}  // namespace kel::tool
