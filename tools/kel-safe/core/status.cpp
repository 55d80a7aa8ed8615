#include "status.h"

#include <string.h>

#include <cctype>
#include <cerrno>
#include <vector>

#include "shown_bytes.h"
#include "system_failure.h"

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
  // "Entry not found: NAME" and "Item not found: NAME" name the missing one
  // of several.
  if (starts_with(message, "Item not found") || starts_with(message, "Entry not found")) {
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
      starts_with(message, "Entry given twice") ||
      message == "Invalid store name") {
    return kRejected;
  }
  return kStoreError;
}

std::string explain(std::string_view message, const std::string& store_path,
                    const std::string& name, Status& status,
                    const std::string& password_source) {
  const std::string store = quoted(store_path);
  // A call on many entries names the one concerned after ": " ("Entry not
  // found: NAME", "Invalid entry value: NAME").
  std::string concerned = name;
  const std::size_t colon = message.find(": ");
  if (concerned.empty() && colon != std::string_view::npos &&
      (starts_with(message, "Entry ") || starts_with(message, "Item not found") ||
       starts_with(message, "Invalid entry"))) {
    concerned = std::string(message.substr(colon + 2));
  }
  std::string said;
  // The library's text adds nothing, or reads wrongly, after the tool's.
  bool with_library_text = true;
  status = classify(message);
  switch (status) {
    case kWrongPassword:
      // The header has no magic number: a file of header size or more that
      // fails the password check may just as well be some other file.
      said = "wrong password" + (password_source.empty() ? "" : " (" + password_source + ")") +
             " for " + store + ", or not a kel-safe store";
      break;
    case kNotFound:
      // The library says "Item not found" or "Entry not found" by the call.
      said = "no entry " + quoted(concerned) + " in " + store + "; kel-safe ls lists the names";
      with_library_text = false;
      break;
    case kExists:
      said = name.empty() || starts_with(message, "could not create store")
                 ? store + " exists already"
                 : "an entry " + quoted(name) +
                       " exists already; --replace replaces its value in the same step";
      break;
    case kRejected:
      if (starts_with(message, "Entry name length") || starts_with(message, "Invalid entry name")) {
        said = "the name is " + std::to_string(concerned.size()) +
               " bytes long; an entry name is 1 to 255 bytes";
        with_library_text = false;
      } else if (starts_with(message, "Invalid entry value")) {
        said = kEmptyValue;
      } else if (starts_with(message, "Entry value too big")) {
        said = "the value is larger than 4294967295 bytes, the most an entry holds";
      } else if (starts_with(message, "Entry given twice")) {
        said = "the name " + quoted(concerned) + " is given twice";
      } else {
        said = "the password is refused";
      }
      break;
    default: {
      const SystemFailure system = system_failure(message, store_path);
      if (!system.text.empty()) {
        said = system.text;
        status = system.status;
      } else {
        said = "the store " + store + " cannot be used";
      }
    }
  }
  if (!with_library_text) return said;
  return said + " (" + std::string(message) + ")";
}

std::string policy_breaches(std::string_view password) {
  std::vector<std::string> needs;
  if (password.size() < 14) needs.push_back("at least 14 bytes");
  bool digit = false, upper = false, lower = false, other = false, space = false;
  for (const char c : password) {
    // Classified as the library classifies: the byte as a signed char.
    const int value = c;
    if (std::isspace(value)) {
      space = true;
    } else if (c >= '0' && c <= '9') {
      digit = true;
    } else if (std::islower(value)) {
      lower = true;
    } else if (std::isupper(value)) {
      upper = true;
    } else if (!std::isalnum(value)) {
      other = true;
    }
  }
  if (!digit) needs.push_back("a digit");
  if (!upper) needs.push_back("an upper-case letter");
  if (!lower) needs.push_back("a lower-case letter");
  if (!other) needs.push_back("a character that is neither letter nor digit");
  if (space) needs.push_back("no white space");
  if (needs.empty()) return "";
  std::string text = "it needs ";
  for (std::size_t i = 0; i < needs.size(); ++i) {
    if (i > 0) text += i + 1 == needs.size() ? " and " : ", ";
    text += needs[i];
  }
  return text;
}

std::string quoted(std::string_view bytes) {
  std::string out = "'";
  append_shown(out, bytes, utf8_locale(), "\\'");
  out += '\'';
  return out;
}

}  // namespace kel::tool
