// One line of a value: `get NAME --line N` and `run --env VAR=NAME:N`, for
// the habit of keeping the password on a value's first line and notes (a
// user name, a URL) on the lines after it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "commands.h"

namespace kel::tool {

// Line `number` (1-based) of `value` without its line end: "\n", or "\r\n"
// as a value pasted from a Windows editor ends its lines. A line end at the
// very end of the value closes the last line rather than opening an empty
// one. nullopt when the value has fewer lines; `lines` then says how many
// it has.
std::optional<std::string_view> value_line(std::string_view value, std::size_t number,
                                           std::size_t& lines);

// Throws a Failure (kRejected) for `what`: the value of `name` has `lines`
// lines, fewer than `number`.
[[noreturn]] void no_such_line(const std::string& what, const std::string& name,
                               std::size_t number, std::size_t lines);

// The whole value when `number` is 0, else its line `number`; throws as
// no_such_line when it has fewer.
std::string_view value_or_line(std::string_view value, std::size_t number,
                               const std::string& what, const std::string& name);

// get NAME --line N: that line alone, without a line end, on standard
// output or in a new file `output` as get -o writes one.
int cmd_get_line(const Context& context, const std::string& name, std::size_t number,
                 const std::string& output, bool force);

}  // namespace kel::tool
