// get --clip: a value handed to the desktop's clipboard through the
// clipboard program of the session (wl-copy, xclip or xsel), on its
// standard input -- never on a command line, where any user's ps shows it,
// nor in an environment. A detached process clears the clipboard later,
// unless something else was copied meanwhile.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"

namespace kel::tool {

// The programs that write, read back and empty one kind of clipboard, each
// as its words, the first being the program's path.
struct Clipboard {
  std::string name;  // what the user is told: "wl-copy", "xclip", "xsel"
  std::vector<std::string> copy;
  std::vector<std::string> paste;
  std::vector<std::string> clear;
};

// The clipboard of this session, found on PATH: wl-copy when WAYLAND_DISPLAY
// is set, else, when DISPLAY is set, xclip, else xsel. Throws a Failure
// (kUsage, as when no terminal can be asked for a password) saying which
// display or program is missing; `what` names the command.
Clipboard find_clipboard(const std::string& what);

// Copies `value` to the clipboard, or throws a Failure (kFileError).
void copy_to_clipboard(const Clipboard& clipboard, std::string_view value,
                       const std::string& what);

// Leaves a detached process (a program of its own: none of this process's
// memory goes with it) that empties the clipboard after `delay`, but only
// when it still holds `value`. It is given the value's SHA-256, never the
// value, and compares that with the hash of what the clipboard holds then.
void clear_clipboard_later(const Clipboard& clipboard, std::string_view value,
                           std::chrono::seconds delay);

// The hidden command line of that process: kel-safe __clear-clipboard NAME
// SECONDS, the hash on descriptor 3.
inline constexpr const char* kClipboardClearer = "__clear-clipboard";
int run_clipboard_clearer(const std::vector<std::string>& args);

// get NAME --clip: the value, or only its line `line` when that is not 0
// (get --line N --clip: the password on a value's first line, as pass -c
// copies it), to the clipboard instead of standard output; cleared after
// `clear_after` (never when zero).
int cmd_get_clip(const Context& context, const std::string& name,
                 std::chrono::seconds clear_after, std::size_t line = 0);

}  // namespace kel::tool
