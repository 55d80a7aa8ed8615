// Small helpers shared by the multi-process robustness tests. Store files
// are read and built with the tests' one independent format reader,
// support/reference_store.h.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/reference_store.h"

namespace kel::robust {

using test::ref::RawRecord;
using test::ref::StoreWalk;
using test::ref::walk_store_bytes;
using test::ref::walk_store_file;

// Whether `haystack` contains `needle` (byte-wise).
bool contains_bytes(const std::string& haystack, const std::string& needle);

// Every regular file under `dir` (recursively), except below `skip` if given.
std::vector<std::string> files_below(const std::string& dir,
                                     const std::string& skip = {});

// Removal temporaries of `store_path` that lie in its directory:
// "<store_path>.<digits>-<8 hex digits>.safe".
std::vector<std::string> removal_temporaries(const std::string& store_path);

// Deterministic test data: a value of 1..max bytes (zero bytes included)
// derived from a name, so that every process can check any value.
std::string value_for(const std::string& name, std::size_t max_length);

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
