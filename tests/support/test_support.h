// Small helpers shared by the tests: private temporary directories, whole-file
// reads and writes, and a password that passes the policy.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "kel/store_format.h"

namespace kel::test {

// Format 2 or 3 with the cheapest Argon2id parameters a new store may have
// (19 MiB, two passes, one lane), so that their tests stay quick.
inline kel::StoreOptions cheapest(int format) {
  kel::StoreOptions options;
  options.format = format;
  options.kdf_memory_kib = 19 * 1024;
  options.kdf_passes = 2;
  options.kdf_lanes = 1;
  return options;
}
inline kel::StoreOptions cheapest_v2() { return cheapest(2); }

// A password that satisfies the store's password policy.
inline const std::string kPassword = "Correct-Horse-42-Battery";
inline const std::string kOtherPassword = "Another-Secret-77-Phrase";

// A fresh directory under the system's temporary folder, removed with all it
// holds when the object goes out of scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // path() / name, as a string.
  std::string file(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
std::string hex(const std::string& bytes);
std::string unhex(const std::string& text);
// Number of open descriptors of this process (entries of /proc/self/fd).
int open_descriptor_count();
// Where the independently written golden store lives.
std::string testdata_dir();

}  // namespace kel::test
