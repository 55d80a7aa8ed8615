// The words of one line of a session (shell or batch mode), split as a
// POSIX shell splits a simple command, without any expansion:
//   - blanks (spaces and tabs) outside quotes separate words;
//   - a backslash outside quotes keeps the next character as it is;
//   - '...' keeps everything up to the next ' as it is;
//   - "..." keeps everything up to the next unescaped ", where a backslash
//     before " or before a backslash stands for that character, and any
//     other backslash is kept;
//   - quoted parts join the text next to them into one word ('' is an
//     empty word).
// Nothing else is special: no variables, globs, pipes or comments.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kel::tool {

// Throws a Failure (kUsage) for an unterminated quote or a backslash at the
// end of the line.
std::vector<std::string> split_words(std::string_view line);

// `word` written so that split_words() reads it back as one word: as it is
// when it holds nothing special, otherwise between single quotes.
std::string quote_word(std::string_view word);

// `word` between single quotes, each ' in it as '\'': what any POSIX shell
// reads back as the same bytes.
std::string single_quoted(std::string_view word);

}  // namespace kel::tool
