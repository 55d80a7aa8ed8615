// The password policy: minimum length, no whitespace, four classes of
// characters, and which message wins when several rules are broken.
#include <gtest/gtest.h>

#include <string>

#include "kel/store.h"

namespace {

const std::string kTooShort = "Minimum password length is: 14 characters";
const std::string kWhitespace = "Invalid password, no whitespace allow";
const std::string kDigit = "Invalid password, digit required";
const std::string kUpper = "Invalid password, upper char required";
const std::string kLower = "Invalid password, lower char required";
const std::string kOther = "Invalid password, non alphanumeric char required";

// The message for a rejected password, or "" for an accepted one (then the
// error text must be untouched).
std::string verdict(const std::string& password) {
  kel::Store store;
  std::string error = "untouched";
  const int result = store.validate_password(password, error);
  if (result == 0) return error == "untouched" ? "" : "accepted but error text changed";
  if (result != -1) return "unexpected result " + std::to_string(result);
  return error;
}

TEST(PasswordPolicy, AcceptsPasswordsWithAllFourClasses) {
  EXPECT_EQ(verdict("Abcdefgh1234!x"), "");  // exactly 14 bytes
  EXPECT_EQ(verdict("Correct-Horse-42-Battery"), "");
  EXPECT_EQ(verdict("zZ9_zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz"), "");
}

TEST(PasswordPolicy, LengthIsCountedInBytesAndCheckedFirst) {
  EXPECT_EQ(verdict(""), kTooShort);
  EXPECT_EQ(verdict("Abcdefgh123!x"), kTooShort);  // 13 bytes, all classes
  EXPECT_EQ(verdict("a b"), kTooShort);            // whitespace, yet length wins
  EXPECT_EQ(verdict("aaaaaaaaaaaaa"), kTooShort);
  // Seven two-byte UTF-8 characters are 14 bytes: long enough (the bytes
  // count as "other"), and the digit is what is missing.
  EXPECT_EQ(verdict("\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"), kDigit);
}

TEST(PasswordPolicy, AnyWhitespaceIsRejectedBeforeTheClassRules) {
  EXPECT_EQ(verdict("Abcdefgh1234!x "), kWhitespace);  // trailing space
  EXPECT_EQ(verdict("\tabcdefghijklmno"), kWhitespace);  // tab, and no digit
  EXPECT_EQ(verdict("Abcdefg\nh1234!x"), kWhitespace);
  EXPECT_EQ(verdict("Abcdefg\vh1234!x"), kWhitespace);
  EXPECT_EQ(verdict("Abcdefg\fh1234!x"), kWhitespace);
  EXPECT_EQ(verdict("Abcdefg\rh1234!x"), kWhitespace);
  EXPECT_EQ(verdict("              "), kWhitespace);
}

TEST(PasswordPolicy, MissingClassesAreReportedInAFixedOrder) {
  // Digit before upper before lower before other.
  EXPECT_EQ(verdict("abcdefghijklmnop"), kDigit);
  EXPECT_EQ(verdict("ABCDEFGHIJKLMNOP"), kDigit);
  EXPECT_EQ(verdict("!!!!!!!!!!!!!!!!"), kDigit);
  EXPECT_EQ(verdict("abcdefghijklmn1!"), kUpper);
  EXPECT_EQ(verdict("12345678901234"), kUpper);
  EXPECT_EQ(verdict("ABCDEFGHIJKLMN1!"), kLower);
  EXPECT_EQ(verdict("Abcdefghijklmn12"), kOther);
  EXPECT_EQ(verdict("AbcdefghijklmnZZ12"), kOther);
}

TEST(PasswordPolicy, HighBytesCountAsOtherCharacters) {
  // In the "C" locale 0xC3 is neither space, letter nor digit.
  EXPECT_EQ(verdict("Abcdefgh1234\xc3\xa9"), "");
  EXPECT_EQ(verdict("Abcdefgh12345\xc3"), "");
  EXPECT_EQ(verdict("Abcdefgh12345\xff"), "");
  // A high byte is not a letter: it does not stand in for a missing class.
  EXPECT_EQ(verdict("abcdefgh1234\xc3\xa9"), kUpper);
}

TEST(PasswordPolicy, MessagesReplaceThePreviousErrorText) {
  kel::Store store;
  std::string error = "something earlier";
  EXPECT_EQ(store.validate_password("short", error), -1);
  EXPECT_EQ(error, kTooShort);
  EXPECT_EQ(store.validate_password("abcdefghijklmnop", error), -1);
  EXPECT_EQ(error, kDigit);
}

}  // namespace
