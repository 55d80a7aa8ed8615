#include "engine/file/file_names.h"

#include <openssl/rand.h>

#include <chrono>
#include <cstdio>

namespace kel::detail {

namespace {

bool all_of(const std::string& text, std::size_t from, std::size_t to,
            const char* allowed) {
  if (from >= to) return false;
  for (std::size_t i = from; i < to; ++i) {
    if (std::string(allowed).find(text[i]) == std::string::npos) return false;
  }
  return true;
}

}  // namespace

std::string path_with_extension(const std::string& name,
                                const std::string& extension) {
  bool has_extension =
      name.size() >= extension.size() &&
      (extension.empty() ||
       name.compare(name.size() - extension.size(), extension.size(),
                    extension) == 0);
  return has_extension ? name : name + extension;
}

std::string temporary_path(const std::string& store_path,
                           const std::string& extension) {
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
  unsigned char random[4] = {};
  RAND_bytes(random, sizeof random);  // uniqueness only; a failure still leaves
                                      // the exclusive creation to decide
  char suffix[9];
  std::snprintf(suffix, sizeof suffix, "%02x%02x%02x%02x", random[0], random[1],
                random[2], random[3]);
  return store_path + "." + std::to_string(millis) + "-" + suffix + extension;
}

bool is_temporary_path(const std::string& store_path,
                       const std::string& extension, const std::string& path) {
  const std::string prefix = store_path + ".";
  if (path.size() < prefix.size() + 1 + 1 + 8 + extension.size()) return false;
  if (path.compare(0, prefix.size(), prefix) != 0) return false;
  if (path.compare(path.size() - extension.size(), extension.size(), extension) != 0) {
    return false;
  }
  std::size_t end = path.size() - extension.size();
  std::size_t dash = end - 9;
  return path[dash] == '-' && all_of(path, dash + 1, end, "0123456789abcdef") &&
         all_of(path, prefix.size(), dash, "0123456789");
}

}  // namespace kel::detail
