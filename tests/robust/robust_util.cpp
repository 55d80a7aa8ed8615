#include "robust/robust_util.h"

#include <cctype>
#include <filesystem>

namespace kel::robust {

bool contains_bytes(const std::string& haystack, const std::string& needle) {
  return !needle.empty() && haystack.find(needle) != std::string::npos;
}

std::vector<std::string> files_below(const std::string& dir, const std::string& skip) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (!skip.empty() && it->path().string().rfind(skip, 0) == 0) continue;
    if (it->is_regular_file(ec)) out.push_back(it->path().string());
  }
  return out;
}

namespace {

// ".<digits>-<8 hex digits>.safe"
bool temporary_suffix(const std::string& suffix) {
  const std::string ext = ".safe";
  if (suffix.size() < 1 + 1 + 1 + 8 + ext.size() || suffix[0] != '.' ||
      suffix.compare(suffix.size() - ext.size(), ext.size(), ext) != 0) {
    return false;
  }
  const std::string middle = suffix.substr(1, suffix.size() - 1 - ext.size());
  const std::size_t dash = middle.find('-');
  if (dash == std::string::npos || dash == 0 || middle.size() - dash - 1 != 8) return false;
  for (std::size_t i = 0; i < dash; ++i) {
    if (middle[i] < '0' || middle[i] > '9') return false;
  }
  for (std::size_t i = dash + 1; i < middle.size(); ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(middle[i]))) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> removal_temporaries(const std::string& store_path) {
  const std::filesystem::path store(store_path);
  const std::string base = store.filename().string();
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator(store.parent_path(), ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > base.size() && name.compare(0, base.size(), base) == 0 &&
        temporary_suffix(name.substr(base.size()))) {
      out.push_back(entry.path().string());
    }
  }
  return out;
}

std::string value_for(const std::string& name, std::size_t max_length) {
  // FNV-1a over the name seeds a xorshift generator.
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
  auto next = [&h]() {
    h ^= h << 13;
    h ^= h >> 7;
    h ^= h << 17;
    return h;
  };
  next();
  std::size_t length = 1 + static_cast<std::size_t>(next() % max_length);
  std::string value(length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    value[i] = static_cast<char>(next() & 0xff);
  }
  // Always carry a zero byte inside when there is room for one.
  if (length > 24) value[length / 2] = '\0';
  return value;
}

}  // namespace kel::robust
