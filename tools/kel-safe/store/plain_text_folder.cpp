#include "plain_text_folder.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <array>
#include <memory>

#include "status.h"

namespace kel::tool {

namespace {

// The file's name: fixed, so that no entry name (sealed in the store)
// shows in a folder listing.
constexpr const char* kFileName = "value";

// Writes zero bytes over the whole of the plain file `name` in `folder`,
// then syncs it, so that its pages hold no more of the value.
void overwrite(int folder, const char* name) {
  UniqueFd file(openat(folder, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat info {};
  if (!file || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  static const std::array<char, 4096> zeros{};
  for (off_t done = 0; done < info.st_size;) {
    const std::size_t part =
        static_cast<std::size_t>(std::min<off_t>(info.st_size - done, zeros.size()));
    const ssize_t n = pwrite(file.get(), zeros.data(), part, done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  fsync(file.get());
}

// Wipes and removes everything in the folder open as `folder`, folders an
// editor made inside it included (to a depth that no editor needs).
void empty_folder(int folder, int depth) {
  UniqueFd listed(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct CloseDir {
    void operator()(DIR* listing) const { closedir(listing); }
  };
  std::unique_ptr<DIR, CloseDir> listing(listed ? fdopendir(listed.get()) : nullptr);
  if (listing) listed.release();
  while (listing) {
    const dirent* each = readdir(listing.get());
    if (each == nullptr) break;
    const std::string_view name = each->d_name;
    if (name == "." || name == "..") continue;
    overwrite(folder, each->d_name);
    if (unlinkat(folder, each->d_name, 0) != 0 && errno == EISDIR) {
      if (depth < 16) {
        UniqueFd inner(openat(folder, each->d_name,
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (inner) empty_folder(inner.get(), depth + 1);
      }
      unlinkat(folder, each->d_name, AT_REMOVEDIR);
    }
  }
}

}  // namespace

std::string plain_text_base(bool allow_disk, const std::string& what) {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  const std::string base = runtime != nullptr && runtime[0] != '\0' ? runtime : "/dev/shm";
  struct statfs info {};
  if (statfs(base.c_str(), &info) != 0) {
    throw Failure(kFileError, what + ": cannot use " + quoted(base) +
                                  " for the plain text: " + strerror(errno) +
                                  " (XDG_RUNTIME_DIR names the folder, else /dev/shm)");
  }
  const bool in_memory = static_cast<unsigned long>(info.f_type) == TMPFS_MAGIC ||
                         static_cast<unsigned long>(info.f_type) == RAMFS_MAGIC;
  if (!in_memory && !allow_disk) {
    throw Failure(kUsage, what + ": " + quoted(base) +
                              " is not in memory (tmpfs or ramfs): the plain text could stay "
                              "on the disk after its removal; point XDG_RUNTIME_DIR at a "
                              "tmpfs folder of yours, or give --allow-disk");
  }
  // The editor is given a path in this folder: whoever else may rename
  // entries in it could swap ours for a folder of theirs while the editor
  // runs, and receive the text. Ours, or root's; shared only if sticky.
  struct stat folder {};
  if (stat(base.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode) ||
      (folder.st_uid != geteuid() && folder.st_uid != 0) ||
      ((folder.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (folder.st_mode & S_ISVTX) == 0)) {
    throw Failure(kUsage, what + ": " + quoted(base) +
                              " is not a folder of yours (or a shared one with the sticky bit): "
                              "others could take the plain text from it; point "
                              "XDG_RUNTIME_DIR at a folder of yours");
  }
  return base;
}

PlainTextFolder::PlainTextFolder(const std::string& base, std::string_view text,
                                 const std::string& what) {
  std::string pattern = base + "/kel-safe-edit.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {  // mode 0700
    throw Failure(kFileError, what + ": cannot make a folder in " + quoted(base) + ": " +
                                  strerror(errno));
  }
  folder_ = pattern;
  file_ = folder_ + "/" + kFileName;
  on_signal_.add(AT_FDCWD, folder_, true);
  on_signal_.add(AT_FDCWD, file_, false);
  folder_fd_ = UniqueFd(open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  UniqueFd file(folder_fd_ ? openat(folder_fd_.get(), kFileName,
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)
                           : -1);
  const int failed = !file ? errno : 0;
  try {
    if (!file) {
      throw Failure(kFileError, what + ": cannot make " + quoted(file_) + ": " +
                                    strerror(failed));
    }
    // The umask may only have taken bits away; the mode is exact anyway.
    fchmod(file.get(), 0600);
    write_all(file.get(), text, quoted(file_));
  } catch (...) {
    file.reset();
    remove();
    throw;
  }
}

PlainTextFolder::~PlainTextFolder() { remove(); }

Secret PlainTextFolder::read() const {
  // Through the folder's own descriptor, and without waiting: the editor
  // may have left a FIFO there, whose opening would block for good.
  UniqueFd file(folder_fd_ ? openat(folder_fd_.get(), kFileName,
                                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)
                           : -1);
  struct stat info {};
  if (!file || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    throw Failure(kFileError, "cannot read the edited text back from " + quoted(file_) +
                                  (file ? ": not a plain file" : std::string(": ") + strerror(errno)));
  }
  Secret text;
  read_all(file.get(), text, 0xffffffffu, quoted(file_));
  return text;
}

void PlainTextFolder::remove() noexcept {
  if (folder_.empty()) return;
  if (folder_fd_) {
    empty_folder(folder_fd_.get(), 0);
    folder_fd_.reset();
  }
  rmdir(folder_.c_str());
  on_signal_.clear();
  folder_.clear();
}

}  // namespace kel::tool
