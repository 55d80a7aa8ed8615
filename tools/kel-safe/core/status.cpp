#include "status.h"

#include <cctype>
#include <vector>

#include "shown_bytes.h"
#include "system_failure.h"

namespace kel::tool {

std::string_view status_table() {
  return "Exit status:\n"
         "  0  success\n"
         "  1  a false answer: exists (no such entry), find (no name matches),\n"
         "     verify (wrong password)\n"
         "  2  usage error, or no way to read a password or to reach a clipboard\n"
         "  3  wrong password\n"
         "  4  no entry of that name\n"
         "  5  already exists: the entry (add), the store (create) or the\n"
         "     output file (get -o without --force)\n"
         "  6  input refused: password policy, confirmation mismatch, entry\n"
         "     name or value not allowed, a value without the line or the\n"
         "     one-time secret asked for\n"
         "  7  store missing, unreadable, damaged or not writable\n"
         "  8  a file of yours (input, output, password file, standard\n"
         "     input or output) could not be used\n"
         "  9  internal error\n";
}

Status classify(kel::Status code) {
  switch (code) {
    case kel::Status::ok:
      return kOk;
    case kel::Status::wrong_password:
      return kWrongPassword;
    case kel::Status::not_found:
      return kNotFound;
    // An entry in the way, or a store file there to be created.
    case kel::Status::exists:
      return kExists;
    case kel::Status::invalid_argument:
    case kel::Status::too_big:
      return kRejected;
    // The tool's own checks name the caller's files before a call can meet
    // them; what reaches here was met on the way to the store, and an
    // internal failure keeps the status it has always had. The system
    // error behind a failure may still refine it (system_failure.h).
    default:
      return kStoreError;
  }
}

std::string explain(kel::Status code, std::string_view message, const std::string& store_path,
                    const std::optional<std::string>& name, Status& status,
                    const std::string& password_source) {
  const std::string store = quoted(store_path);
  const std::string concerned = name.value_or("");
  std::string said;
  // The library's text adds nothing, or reads wrongly, after the tool's.
  bool with_library_text = true;
  status = classify(code);
  switch (status) {
    case kWrongPassword:
      // The header has no magic number: a file of header size or more that
      // fails the password check may just as well be some other file.
      said = "wrong password" + (password_source.empty() ? "" : " (" + password_source + ")") +
             " for " + store + ", or not a kel-safe store";
      break;
    case kNotFound:
      said = "no entry " + quoted(concerned) + " in " + store + "; kel-safe ls lists the names";
      with_library_text = false;
      break;
    case kExists:
      // A call given no entry name can only have met the store file itself.
      said = !name || name->empty()
                 ? store + " exists already"
                 : "an entry " + quoted(*name) +
                       " exists already; --replace replaces its value in the same step";
      break;
    case kRejected:
      // Which input was refused follows from what the call was given: a
      // call on one entry checks its name, then its value; a call given no
      // entry is refused its password.
      if (code == kel::Status::too_big) {
        said = "the value is larger than 4294967295 bytes, the most an entry holds";
      } else if (name && (name->empty() || name->size() > 255)) {
        said = "the name is " + std::to_string(name->size()) +
               " bytes long; an entry name is 1 to 255 bytes";
        with_library_text = false;
      } else if (name) {
        said = kEmptyValue;
      } else {
        said = "the password is refused";
      }
      break;
    default: {
      const SystemFailure system = system_failure(code, store_path);
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
