#include "output_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <random>

#include "status.h"

namespace kel::tool {

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  throw Failure(kFileError, what + " " + quoted(path) + ": " + strerror(errno));
}

bool is_special(mode_t mode) {
  return S_ISCHR(mode) || S_ISFIFO(mode) || S_ISSOCK(mode);
}

std::string random_suffix() {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device source;
  std::string text;
  for (int i = 0; i < 8; ++i) text += letters[source() % (sizeof letters - 1)];
  return text;
}

}  // namespace

OutputFile::OutputFile(const std::string& path, bool replace,
                       const std::vector<std::string>& protected_paths)
    : path_(path), protected_(protected_paths), replace_(replace) {
  const std::size_t slash = path.find_last_of('/');
  directory_ = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  base_ = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base_.empty() || base_ == "." || base_ == "..") {
    throw Failure(kUsage, "not a file name: " + quoted(path));
  }
  struct stat target {};
  if (stat(path.c_str(), &target) == 0 && is_special(target.st_mode)) {
    open_direct(static_cast<int>(target.st_mode & S_IFMT));
    return;
  }
  check_target(!replace);
  open_unnamed();
  if (!fd_) open_named();
}

OutputFile::~OutputFile() {
  if (!committed_ && !temp_path_.empty()) {
    // The value may be incomplete or unauthenticated: it must not stay.
    unlink(temp_path_.c_str());
  }
}

// What is at the path now may be replaced only when it is absent, or (when
// allowed) a regular file or a link, and never the store or a backup.
void OutputFile::check_target(bool must_be_absent) const {
  struct stat info {};
  if (lstat(path_.c_str(), &info) != 0) return;
  struct stat followed {};
  const bool resolves = stat(path_.c_str(), &followed) == 0;
  for (const std::string& kept : protected_) {
    struct stat other {};
    if (resolves && stat(kept.c_str(), &other) == 0 && other.st_dev == followed.st_dev &&
        other.st_ino == followed.st_ino) {
      throw Failure(kRejected, quoted(path_) +
                                   " is the store or one of its backups: not "
                                   "written, with or without --force");
    }
  }
  if (must_be_absent) {
    throw Failure(kExists, quoted(path_) + " exists (--force replaces it)");
  }
  if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) {
    throw Failure(kFileError, quoted(path_) +
                                  " is not a regular file: --force replaces only "
                                  "regular files and links");
  }
}

void OutputFile::open_direct(int type) {
  direct_ = true;
  if (type == S_IFSOCK) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) {
      throw Failure(kFileError, "socket path too long: " + quoted(path_));
    }
    memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    fd_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd_ || connect(fd_.get(), reinterpret_cast<sockaddr*>(&address),
                        sizeof address) != 0) {
      fail("cannot connect to", path_);
    }
    return;
  }
  fd_.reset(open(path_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
  if (!fd_) fail("cannot open", path_);
}

void OutputFile::open_unnamed() {
  fd_.reset(open(directory_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC,
                 S_IRUSR | S_IWUSR));
  if (fd_) return;
  // Kernels and file systems without unnamed files say so in one of these
  // ways; anything else is a real failure.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    fail("cannot create a file in", directory_);
  }
}

void OutputFile::open_named() {
  std::string pattern =
      (directory_ == "." && path_.find('/') == std::string::npos ? std::string()
                                                                   : directory_ + "/") +
      "." + base_ + ".kel-safe-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  fd_.reset(mkostemp(name.data(), O_CLOEXEC));
  if (!fd_) fail("cannot create a file next to", path_);
  temp_path_ = name.data();
  removal_.emplace();
  removal_->add(AT_FDCWD, temp_path_, false);
  // mkostemp asks for 0600 already; make it so whatever the umask did.
  if (fchmod(fd_.get(), S_IRUSR | S_IWUSR) != 0) fail("cannot set the mode of", temp_path_);
}

// Gives the unnamed file `name`; fails with EEXIST when that exists.
void OutputFile::link_unnamed(const std::string& name) const {
  if (linkat(fd_.get(), "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return;
  if (errno == EEXIST) throw Failure(kExists, quoted(name) + " exists (--force replaces it)");
  // AT_EMPTY_PATH needs a capability; the /proc link does the same for all.
  const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
  if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
    return;
  }
  if (errno == EEXIST) throw Failure(kExists, quoted(name) + " exists (--force replaces it)");
  fail("cannot create", name);
}

void OutputFile::commit() {
  if (direct_) {
    committed_ = true;
    return;
  }
  if (fsync(fd_.get()) != 0) fail("cannot sync the file for", path_);
  check_target(!replace_);
  if (temp_path_.empty()) {
    if (!replace_) {
      link_unnamed(path_);
    } else {
      // A name of our own first, then one rename over the old file.
      const std::string prefix =
          (path_.find('/') == std::string::npos ? std::string() : directory_ + "/") +
          "." + base_ + ".kel-safe-";
      for (int attempt = 0; temp_path_.empty(); ++attempt) {
        const std::string name = prefix + random_suffix();
        try {
          link_unnamed(name);
          temp_path_ = name;
          removal_.emplace();
          removal_->add(AT_FDCWD, temp_path_, false);
        } catch (const Failure& failure) {
          if (failure.status() != kExists || attempt > 100) throw;
        }
      }
      if (rename(temp_path_.c_str(), path_.c_str()) != 0) fail("cannot create", path_);
    }
  } else if (replace_) {
    if (rename(temp_path_.c_str(), path_.c_str()) != 0) fail("cannot create", path_);
  } else if (link(temp_path_.c_str(), path_.c_str()) == 0) {
    // A hard link never replaces an existing file, so a file made by someone
    // else since the check above is left alone.
    unlink(temp_path_.c_str());
  } else if (errno == EEXIST) {
    throw Failure(kExists, quoted(path_) + " exists (--force replaces it)");
  } else {
    // File systems without hard links: the check above is the best that
    // remains.
    if (rename(temp_path_.c_str(), path_.c_str()) != 0) fail("cannot create", path_);
  }
  committed_ = true;
  removal_.reset();
  UniqueFd dir(open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir || fsync(dir.get()) != 0) {
    fail("the value was written, but cannot sync the directory of", path_);
  }
}

}  // namespace kel::tool
