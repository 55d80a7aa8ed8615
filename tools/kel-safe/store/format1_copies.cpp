#include "format1_copies.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <kel/safe.h>
#include <kel/store_files.h>

#include <algorithm>
#include <filesystem>
#include <cstdint>
#include <memory>
#include <string_view>

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
// format needs no password. Format 1 has no magic number, so any file of
// 132 bytes or more would pass for one: its first record, if it has one,
// must also name its own place, as every record does (its value offset,
// after a 1-byte name length N and N + 28 sealed bytes, is 132 + N + 41).
bool is_format1(const Context& context, const std::string& path) {
  const std::unique_ptr<kel::Safe> reader = make_safe(context, Secret());
  reader->use_store_file(path);
  kel::FormatInfo info;
  std::string error;
  if (reader->format_info(info, error) != 0 || info.version != 1) return false;
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return false;
  unsigned char first[132 + 1 + 255 + 28 + 8] = {};
  const ssize_t got = pread(fd.get(), first, sizeof first, 0);
  if (got == 132) return true;  // a store with no entries
  if (got < 133) return false;
  const std::size_t n = first[132];
  const std::size_t field = 132 + 1 + n + 28;
  if (n == 0 || static_cast<std::size_t>(got) < field + 8) return false;
  std::uint64_t offset = 0;
  for (int i = 7; i >= 0; --i) offset = (offset << 8) | first[field + static_cast<std::size_t>(i)];
  return offset == 132 + n + 41;
}

// Whether `suffix` is what a repair puts after ".damaged-": a UTC time,
// YYYYMMDDTHHMMSSZ.
bool repair_time(std::string_view suffix) {
  if (suffix.size() != 16 || suffix[8] != 'T' || suffix[15] != 'Z') return false;
  for (std::size_t i = 0; i < 15; ++i) {
    if (i != 8 && (suffix[i] < '0' || suffix[i] > '9')) return false;
  }
  return true;
}

// A copy the user may remove: a regular file of theirs (never one another
// user put there, never what a link points to) that is a format-1 store.
bool own_format1_copy(const Context& context, const std::string& path) {
  struct stat info {};
  return regular_file(path, info) && info.st_uid == geteuid() && is_format1(context, path);
}

// Whether a name can be pasted into any POSIX shell inside single quotes
// without showing the terminal bytes that steer it.
bool pastable(std::string_view path) {
  for (const char c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  return true;
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
    const std::string name = it->path().filename().string();
    if (name.starts_with(prefix) && repair_time(std::string_view(name).substr(prefix.size()))) {
      damaged.push_back((store_path.has_parent_path() ? folder / it->path().filename()
                                                       : it->path().filename())
                            .string());
    }
  }
  std::sort(damaged.begin(), damaged.end());
  candidates.insert(candidates.end(), damaged.begin(), damaged.end());
  std::vector<std::string> copies;
  for (const std::string& path : candidates) {
    if (own_format1_copy(context, path)) copies.push_back(path);
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
    for (const std::string& copy : copies) {
      note(pastable(copy) ? "  rm -- " + shell_word(copy, utf8_locale())
                          : "  " + tool::quoted(copy) +
                                " (its name holds control characters: remove it by hand)");
    }
    return;
  }
  for (const std::string& copy : copies) {
    // Checked again just before: only a format-1 file goes.
    if (!own_format1_copy(context, copy)) {
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
