#include "shown_bytes.h"

#include <stdlib.h>

#include <algorithm>
#include <cctype>

#include "words.h"

namespace kel::tool {

std::size_t utf8_sequence(std::string_view text, std::size_t i, std::uint32_t& code) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  std::uint32_t minimum = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2, code = lead & 0x1f, minimum = 0x80;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3, code = lead & 0x0f, minimum = 0x800;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4, code = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xc0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3f);
  }
  if (code < minimum || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
    return 0;
  }
  return length;
}

bool utf8_locale() {
  // Read from the environment as the C library would, without setlocale():
  // the tool classifies bytes in the "C" locale everywhere else.
  static const bool utf8 = [] {
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
      const char* value = getenv(variable);
      if (value == nullptr || *value == '\0') continue;
      std::string lower(value);
      std::transform(lower.begin(), lower.end(), lower.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      return lower.find("utf-8") != std::string::npos ||
             lower.find("utf8") != std::string::npos;
    }
    return false;
  }();
  return utf8;
}

bool append_shown(std::string& out, std::string_view bytes, bool utf8,
                  std::string_view also) {
  static const char digits[] = "0123456789abcdef";
  bool escaped = false;
  const auto hex = [&](unsigned char c) {
    out += "\\x";
    out += digits[c >> 4];
    out += digits[c & 15];
    escaped = true;
  };
  for (std::size_t i = 0; i < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7f) {
        hex(c);
      } else {
        if (also.find(static_cast<char>(c)) != std::string_view::npos) out += '\\';
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    std::uint32_t code = 0;
    const std::size_t length = utf8 ? utf8_sequence(bytes, i, code) : 0;
    // The C1 controls (U+0080 to U+009F) act on terminals as ESC does.
    if (length == 0 || code < 0xa0) {
      for (std::size_t k = 0; k < std::max<std::size_t>(length, 1); ++k) {
        hex(static_cast<unsigned char>(bytes[i + k]));
      }
      i += std::max<std::size_t>(length, 1);
      continue;
    }
    out.append(bytes.substr(i, length));
    i += length;
  }
  return escaped;
}

std::string listed_name(std::string_view name, bool utf8) {
  std::string out = "$'";
  // A name that begins as the quoted form does is quoted as well: shown as
  // it is, it would read back as another name.
  if (!append_shown(out, name, utf8, "\\'") && !name.starts_with("$'")) {
    return std::string(name);
  }
  out += '\'';
  return out;
}

std::string shell_word(std::string_view bytes, bool utf8) {
  std::string probe;
  if (append_shown(probe, bytes, utf8)) {
    std::string out = "$'";
    append_shown(out, bytes, utf8, "\\'");
    out += '\'';
    return out;
  }
  return single_quoted(bytes);
}

}  // namespace kel::tool
