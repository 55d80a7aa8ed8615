#include "fuzz/fixed_store.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "robust/store_reader.h"

namespace kel::fuzz {

namespace {

const unsigned char kSalt[8] = {'f', 'u', 'z', 'z', 's', 'a', 'l', 't'};
const unsigned char kNonce[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
const unsigned char kKey[32] = {0x4b, 0x65, 0x6c, 0x2d, 0x66, 0x75, 0x7a, 0x7a,
                                0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                                0x98, 0xa9, 0xba, 0xcb, 0xdc, 0xed, 0xfe, 0x0f,
                                0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

std::string make_scratch() {
  std::string base = "/dev/shm";
  if (::access(base.c_str(), W_OK) != 0) {
    base = std::filesystem::temp_directory_path().string();
  }
  std::string pattern = base + "/kel-safe-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

}  // namespace

const std::string& fixed_header() {
  static const std::string header = [] {
    std::string h = kel::robust::make_header(kPassword, kSalt, kKey, kNonce);
    if (h.size() != 132) throw std::runtime_error("could not build the fixed header");
    return h;
  }();
  return header;
}

const unsigned char* fixed_store_key() { return kKey; }

const std::string& scratch_dir() {
  // Never destroyed, so that the exit handler can still use it.
  static const std::string* dir = [] {
    auto* d = new std::string(make_scratch());
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratch_dir(), ignored);
    });
    return d;
  }();
  return *dir;
}

void clear_scratch() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(scratch_dir(), ec)) {
    std::error_code ignored;
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

}  // namespace kel::fuzz
