// Command-line mistakes, told the way a person can act on them: every
// message starts with "kel-safe:", names the word at fault and suggests the
// nearest correct one. Suggestions come from the subcommands and options
// registered with the parser, so a new subcommand is suggested as soon as it
// exists.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace kel::tool {

// The one line (without "kel-safe: " or line end) that explains why `args`
// (the command line without the program name) did not parse.
std::string usage_message(const CLI::App& app, const CLI::ParseError& error,
                          const std::vector<std::string>& args);

// The choice closest to `word` by edit distance (a swap of two neighbours
// counts as one edit), or "" when none is close enough to be a likely typo.
std::string nearest(std::string_view word, const std::vector<std::string>& choices);

// Whether the subcommand takes an entry name (or a prefix of one) as a
// word of its own, which may start with '-' and then goes after "--".
bool takes_name(const CLI::App& sub);

// A check for descriptor numbers with a message that says what is expected.
CLI::Validator descriptor_number();

}  // namespace kel::tool
