// Small helpers shared by the multi-process robustness tests.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kel::robust {

// An integer from the environment, or `fallback` when unset or not positive.
inline long env_long(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  return (end != text && value > 0) ? value : fallback;
}

// Appends one line to a descriptor with a single write (O_APPEND keeps lines
// of several writers whole), optionally forcing it to stable storage.
inline bool log_line(int fd, const std::string& line, bool durable) {
  std::string text = line + "\n";
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) return false;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return !durable || ::fdatasync(fd) == 0;
}

inline std::vector<std::string> read_lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

inline std::string to_hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

inline std::string from_hex(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  }
  return out;
}

// Passwords that satisfy the policy, one per generation of a store.
inline std::string password_for(const std::string& tag, int generation) {
  return tag + "-Pass-" + std::to_string(generation) + "-Kq!x";
}

}  // namespace kel::robust
