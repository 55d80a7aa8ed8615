#include "format1_copies.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <kel/safe.h>
#include <kel/store_files.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "shown_bytes.h"
#include "status.h"
#include "streams.h"

namespace kel::tool {

namespace {

// The file at `path` as lstat sees it, when it is a regular file.
bool regular_file(const std::string& path, struct stat& info) {
  return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Whether the regular file at `path` is a store in format 1. Reading the
// format needs no password.
bool is_format1(const Context& context, const std::string& path) {
  const std::unique_ptr<kel::Safe> reader = make_safe(context, Secret());
  reader->use_store_file(path);
  kel::FormatInfo info;
  std::string error;
  return reader->format_info(info, error) == 0 && info.version == 1;
}

}  // namespace

std::vector<std::string> format1_copies(const Context& context) {
  std::string file, error;
  if (kel::final_store_file(store_file(context.store), file, error) != 0) return {};
  std::vector<std::string> candidates;
  for (const kel::StoreBackup which :
       {kel::StoreBackup::password_change, kel::StoreBackup::removal}) {
    std::string backup;
    if (kel::store_backup_path(file, which, backup, error) == 0) candidates.push_back(backup);
  }
  // A repair names its copy "<store file>.damaged-<UTC time>".
  const std::filesystem::path store_path(file);
  const std::string prefix = store_path.filename().string() + ".damaged-";
  std::vector<std::string> damaged;
  std::error_code failed;
  const std::filesystem::path folder =
      store_path.has_parent_path() ? store_path.parent_path() : std::filesystem::path(".");
  for (std::filesystem::directory_iterator it(folder, failed), end; !failed && it != end;
       it.increment(failed)) {
    if (it->path().filename().string().starts_with(prefix)) {
      damaged.push_back((store_path.has_parent_path() ? folder / it->path().filename()
                                                       : it->path().filename())
                            .string());
    }
  }
  std::sort(damaged.begin(), damaged.end());
  candidates.insert(candidates.end(), damaged.begin(), damaged.end());
  std::vector<std::string> copies;
  for (const std::string& path : candidates) {
    struct stat info {};
    if (regular_file(path, info) && is_format1(context, path)) copies.push_back(path);
  }
  return copies;
}

void report_format1_copies(const Context& context, const std::vector<std::string>& copies,
                           bool drop) {
  if (copies.empty()) return;
  if (!drop) {
    if (context.quiet) return;
    note(std::string(copies.size() == 1 ? "a format-1 copy of the store is" : "format-1 copies of the store are") +
         " kept beside it: each opens with the password it had, as cheaply as before, "
         "and holds the entries it had (not the new store key); once not needed, remove " +
         (copies.size() == 1 ? "it" : "them") + " (--drop-backup does) with:");
    for (const std::string& copy : copies) note("  rm -- " + shell_word(copy, utf8_locale()));
    return;
  }
  for (const std::string& copy : copies) {
    // Checked again just before: only a format-1 file goes.
    struct stat info {};
    if (!regular_file(copy, info) || !is_format1(context, copy)) {
      note("left " + tool::quoted(copy) + ": it is no longer a format-1 copy of the store");
      continue;
    }
    if (unlink(copy.c_str()) != 0 && errno != ENOENT) {
      throw Failure(kFileError, "cannot remove " + tool::quoted(copy) + ": " + strerror(errno));
    }
    if (!context.quiet) note("removed the format-1 copy " + tool::quoted(copy));
  }
}

}  // namespace kel::tool
