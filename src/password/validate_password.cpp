// The password policy for new store passwords: at least 14 bytes, no
// whitespace, and at least one digit, upper-case, lower-case and other byte.
#include <cctype>

#include "kel/store.h"
#include "store/status_note.h"

namespace kel {

namespace {

constexpr std::size_t kMinimumPasswordLength = 14;

}  // namespace

int Store::validate_password(const std::string& password, std::string& error) {
  if (password.size() < kMinimumPasswordLength) {
    detail::fail(error, Status::invalid_argument,
                 "Minimum password length is: ");
    error += std::to_string(kMinimumPasswordLength);
    error += " characters";
    return -1;
  }
  bool digit = false, upper = false, lower = false, other = false;
  for (char c : password) {
    // Bytes of 0x80 and above are handed over as the negative chars they are;
    // glibc's classification accepts them and calls them neither letters
    // nor digits, so they count as "other".
    if (std::isspace(c)) {
      detail::fail(error, Status::invalid_argument,
                   "Invalid password, no whitespace allow");
      return -1;
    }
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (std::islower(c)) {
      lower = true;
    } else if (std::isupper(c)) {
      upper = true;
    } else if (!std::isalnum(c)) {
      other = true;
    }
  }
  const char* missing = !digit   ? "Invalid password, digit required"
                        : !upper ? "Invalid password, upper char required"
                        : !lower ? "Invalid password, lower char required"
                        : !other ? "Invalid password, non alphanumeric char required"
                                 : nullptr;
  if (missing != nullptr) {
    detail::fail(error, Status::invalid_argument, missing);
    return -1;
  }
  return 0;
}

}  // namespace kel
