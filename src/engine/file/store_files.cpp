// The exported naming rules (kel/store_files.h), over the engine's own.
#include <errno.h>
#include <sys/stat.h>

#include "env/env.h"
#include "kel/store_files.h"
#include "engine/file/file_names.h"
#include "engine/file/write_lock.h"

namespace kel {

namespace {
const std::string kExtension = ".safe";
}  // namespace

int store_file_path(const std::string& name, std::string& path, std::string& error) {
  if (name.empty()) {
    error = "Empty store name";
    return -1;
  }
  const std::string with_extension = detail::path_with_extension(name, kExtension);
  if (with_extension == name) {
    path = name;
    return 0;
  }
  const std::size_t base = name.rfind('/');
  struct stat info {};
  const bool copy_beside =
      name.find(kExtension + ".", base == std::string::npos ? 0 : base) != std::string::npos &&
      detail::env().lstat(with_extension.c_str(), &info) != 0 && errno == ENOENT &&
      detail::env().stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode);
  path = copy_beside ? name : with_extension;
  return 0;
}

int final_store_file(const std::string& path, std::string& file, std::string& error) {
  if (path.empty()) {
    error = "Empty store path";
    return -1;
  }
  file = detail::resolve_final_links(path);
  return 0;
}

int store_backup_path(const std::string& path, StoreBackup which, std::string& backup,
                      std::string& error) {
  std::string file;
  if (final_store_file(path, file, error) != 0) return -1;
  backup = file + (which == StoreBackup::password_change ? detail::kPasswordChangeBackup
                                                         : detail::kRemovalBackup);
  return 0;
}

}  // namespace kel
