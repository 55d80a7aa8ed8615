#include "generator.h"

#include <array>

#include "commands.h"
#include "status.h"

namespace kel::tool {

namespace {

// Symbols that need no quoting in the usual places a password is typed or
// pasted: no quotes, backslash, backquote or blank.
const char* const kSymbols = "!#$%&()*+,-./:;<=>?@[]^_{|}~";

}  // namespace

CharacterClasses parse_classes(const std::string& list, const std::string& what) {
  CharacterClasses classes;
  std::vector<std::string> seen;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = list.find(',', start);
    const std::string word = list.substr(start, comma - start);
    std::string alphabet;
    if (word == "upper") {
      alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    } else if (word == "lower") {
      alphabet = "abcdefghijklmnopqrstuvwxyz";
    } else if (word == "digit") {
      alphabet = "0123456789";
    } else if (word == "symbol") {
      alphabet = kSymbols;
    } else {
      throw Failure(kUsage, what + ": unknown character class " + tool::quoted(word) +
                                " (upper, lower, digit, symbol)");
    }
    for (const std::string& earlier : seen) {
      if (earlier == word) throw Failure(kUsage, what + ": " + word + " is given twice");
    }
    seen.push_back(word);
    classes.push_back(alphabet);
    if (comma == std::string::npos) return classes;
    start = comma + 1;
  }
}

Secret generate_value(kel::Safe& safe, std::size_t length, const CharacterClasses& classes,
                      const std::string& what) {
  if (length < classes.size()) {
    throw Failure(kUsage, what + ": " + std::to_string(length) +
                              " characters cannot hold one of each of " +
                              std::to_string(classes.size()) + " classes");
  }
  std::string alphabet;
  for (const std::string& part : classes) alphabet += part;
  // A byte is used only below the largest multiple of the alphabet's size,
  // so that every character is equally likely.
  const unsigned limit = 256 - 256 % static_cast<unsigned>(alphabet.size());
  std::array<unsigned char, 256> bytes{};
  for (;;) {
    Secret value(length);
    std::size_t used = bytes.size();
    while (value.size() < length) {
      if (used == bytes.size()) {
        std::string error;
        if (safe.random_bytes(bytes.data(), bytes.size(), error) != 0) {
          wipe(bytes.data(), bytes.size());
          throw Failure(kInternal, what + ": no random bytes (" + error + ")");
        }
        used = 0;
      }
      const unsigned byte = bytes[used++];
      if (byte < limit) value.push_back(alphabet[byte % alphabet.size()]);
    }
    bool every_class = true;
    for (const std::string& part : classes) {
      every_class = every_class && value.view().find_first_of(part) != std::string_view::npos;
    }
    if (every_class) {
      wipe(bytes.data(), bytes.size());
      return value;
    }
  }
}

}  // namespace kel::tool
