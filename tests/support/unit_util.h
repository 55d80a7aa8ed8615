// Small conveniences for the unit tests: byte-pointer views of strings,
// capture of the library's diagnostic lines, and errno texts.
#pragma once

#include <gtest/gtest.h>

#include <kel/diagnostics.h>

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

// Collects the library's diagnostic lines (each with a line end) while the
// object lives, in place of the process's sink; take() ends the capture and
// returns the text.
class DiagnosticCapture {
 public:
  DiagnosticCapture()
      : previous_(kel::set_diagnostics([this](std::string_view line) {
          text_.append(line);
          text_ += '\n';
        })) {}
  ~DiagnosticCapture() { restore(); }
  DiagnosticCapture(const DiagnosticCapture&) = delete;
  DiagnosticCapture& operator=(const DiagnosticCapture&) = delete;
  std::string take() {
    restore();
    return text_;
  }

 private:
  void restore() {
    if (!taken_) kel::set_diagnostics(previous_);
    taken_ = true;
  }
  std::string text_;
  kel::Diagnostics previous_;
  bool taken_ = false;
};

}  // namespace kel::test
