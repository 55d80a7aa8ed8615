// Small conveniences for the unit tests: byte-pointer views of strings,
// capture of the library's standard-output lines, and errno texts.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kel::test {

inline const unsigned char* bytes_of(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
inline unsigned char* bytes_of(std::string& s) {
  return reinterpret_cast<unsigned char*>(s.data());
}
inline std::string as_string(const unsigned char* p, std::size_t n) {
  return std::string(reinterpret_cast<const char*>(p), n);
}

// The C library's text for an errno value, as the library's messages use it.
inline std::string errno_text(int error) { return std::strerror(error); }

// Collects what the code under test prints on standard output while the
// object lives; take() ends the capture and returns the text.
class StdoutCapture {
 public:
  StdoutCapture() { testing::internal::CaptureStdout(); }
  ~StdoutCapture() {
    if (!taken_) testing::internal::GetCapturedStdout();
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  std::string take() {
    taken_ = true;
    return testing::internal::GetCapturedStdout();
  }

 private:
  bool taken_ = false;
};

}  // namespace kel::test
