#include "words.h"

#include "status.h"

namespace kel::tool {

namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> split_words(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (blank(c)) {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      continue;
    }
    in_word = true;
    if (c == '\\') {
      if (++i == line.size())
        throw Failure(kUsage, "a backslash ends the line");
      word += line[i];
    } else if (c == '\'') {
      const std::size_t end = line.find('\'', i + 1);
      if (end == std::string_view::npos)
        throw Failure(kUsage, "unterminated ' quote");
      word.append(line.substr(i + 1, end - i - 1));
      i = end;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i == line.size()) throw Failure(kUsage, "unterminated \" quote");
        if (line[i] == '"') break;
        if (line[i] == '\\' && i + 1 < line.size() &&
            (line[i + 1] == '"' || line[i + 1] == '\\')) {
          ++i;
        }
        word += line[i];
      }
    } else {
      word += c;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

std::string quote_word(std::string_view word) {
  bool plain = !word.empty();
  for (const char c : word) {
    if (blank(c) || c == '\\' || c == '\'' || c == '"') plain = false;
  }
  if (plain) return std::string(word);
  return single_quoted(word);
}

std::string single_quoted(std::string_view word) {
  // Inside single quotes only ' itself needs care: end the quote, give an
  // escaped ', and open a new quote.
  std::string out = "'";
  for (const char c : word) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

}  // namespace kel::tool
