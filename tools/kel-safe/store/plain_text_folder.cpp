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
  UniqueFd file(openat(folder, name, O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
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
  UniqueFd file(open(file_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
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
    // Its own descriptor for the listing: closedir closes it.
    UniqueFd listed(openat(folder_fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
      overwrite(folder_fd_.get(), each->d_name);
      if (unlinkat(folder_fd_.get(), each->d_name, 0) != 0 && errno == EISDIR) {
        unlinkat(folder_fd_.get(), each->d_name, AT_REMOVEDIR);
      }
    }
    folder_fd_.reset();
  }
  rmdir(folder_.c_str());
  on_signal_.clear();
  folder_.clear();
}

}  // namespace kel::tool
