#include "status.h"

#include <string.h>

#include <cerrno>

namespace kel::tool {

std::string_view status_table() {
  return "Exit status:\n"
         "  0  success\n"
         "  1  a false answer: exists (no such entry), verify (wrong password)\n"
         "  2  usage error, or no way to read a password\n"
         "  3  wrong password\n"
         "  4  no entry of that name\n"
         "  5  already exists: the entry (add), the store (create) or the\n"
         "     output file (get -o without --force)\n"
         "  6  input refused: password policy, confirmation mismatch, entry\n"
         "     name or value not allowed\n"
         "  7  store missing, unreadable, damaged or not writable\n"
         "  8  a file of yours (input, output, password file, standard\n"
         "     input or output) could not be used\n"
         "  9  internal error\n";
}

namespace {

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

Status classify(std::string_view message) {
  if (message == "Invalid password") return kWrongPassword;
  // "Entry not found: NAME" names the missing one of several.
  if (message == "Item not found" || starts_with(message, "Entry not found")) {
    return kNotFound;
  }
  if (message == "Item exists") return kExists;
  // Creating over an existing file reports the errno text of EEXIST.
  if (starts_with(message, "could not create store - ") &&
      ends_with(message, strerror(EEXIST))) {
    return kExists;
  }
  if (starts_with(message, "Invalid password,") ||
      starts_with(message, "Minimum password length") ||
      starts_with(message, "Invalid entry") ||
      starts_with(message, "Entry name length") ||
      starts_with(message, "Entry value too big") ||
      message == "Invalid store name") {
    return kRejected;
  }
  return kStoreError;
}

std::string quoted(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out = "'";
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\' && c != '\'') {
      out += static_cast<char>(c);
    } else if (c == '\\' || c == '\'') {
      out += '\\';
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  out += '\'';
  return out;
}

}  // namespace kel::tool
