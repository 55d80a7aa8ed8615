// Reading a directory tree without following links. The walk holds a
// descriptor for each directory on its way down and names every entry
// relative to it. A file is opened later in one call that refuses every
// link on the way (openat2 with RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH), or,
// on a kernel without that call, one component at a time with O_NOFOLLOW.
#include "tree_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "status.h"

namespace kel::tool {

namespace {

// An entry name is at most this long: a directory whose name leaves no
// room for "/" and one byte below it holds nothing that could be imported.
constexpr std::size_t kMaxName = 255;

constexpr int kFileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// `relative` below `top`, every component opened without following a link:
// -1 with errno set when that cannot be done.
int open_beneath(int top, const std::string& relative) {
  open_how how{};
  how.flags = static_cast<std::uint64_t>(kFileFlags);
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
  const long fd = syscall(SYS_openat2, top, relative.c_str(), &how, sizeof how);
  // Without the call (ENOSYS; EPERM where a seccomp filter denies it), the
  // same walk by hand.
  if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
  // The walk made the name: no empty component, no "." or "..".
  UniqueFd parent;
  int at = top;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t slash = relative.find('/', begin);
    const std::string part = relative.substr(begin, slash - begin);
    if (slash == std::string::npos) return openat(at, part.c_str(), kFileFlags);
    parent = UniqueFd(openat(at, part.c_str(), kDirectoryFlags));
    if (!parent) return -1;
    at = parent.get();
    begin = slash + 1;
  }
}

}  // namespace

Tree::Tree(const std::string& given)
    : given_(given),
      top_(::open(given.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC)) {
  if (!top_) {
    throw Failure(kFileError, "import: " + quoted(given) +
                                  (errno == ENOTDIR ? std::string(" is not a directory")
                                                    : ": " + std::string(strerror(errno))));
  }
}

std::vector<TreeFile> Tree::files(std::vector<std::string>& left_out) const {
  std::vector<TreeFile> found;
  walk(top_.get(), "", found, left_out);
  std::sort(found.begin(), found.end(),
            [](const TreeFile& a, const TreeFile& b) { return a.name < b.name; });
  return found;
}

void Tree::walk(int directory, const std::string& prefix, std::vector<TreeFile>& found,
                std::vector<std::string>& left_out) const {
  const auto failed = [&](const std::string& name) {
    return Failure(kFileError, "import: cannot read " + quoted(shown(TreeFile{name})) + ": " +
                                   strerror(errno));
  };
  // The stream gets a descriptor of its own; `directory` stays the caller's.
  UniqueFd own(fcntl(directory, F_DUPFD_CLOEXEC, 0));
  DirHandle stream(own ? fdopendir(own.get()) : nullptr);
  const std::string here = prefix.empty() ? "." : prefix.substr(0, prefix.size() - 1);
  if (!stream) throw failed(here);
  own.release();
  // Rewound: a duplicate shares the position of the descriptor it copies.
  rewinddir(stream.get());
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(stream.get());
    if (entry == nullptr) {
      if (errno != 0) throw failed(here);
      break;
    }
    const std::string part = entry->d_name;
    if (part == "." || part == "..") continue;
    const std::string name = prefix + part;
    struct stat info {};
    if (fstatat(directory, part.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) throw failed(name);
    if (S_ISDIR(info.st_mode)) {
      // Not walked further: every name below is too long, and a walk to the
      // end of a very deep tree would hold a descriptor and a frame per level.
      if (name.size() + 2 > kMaxName) {
        throw Failure(kRejected, "import: the names below " + quoted(shown(TreeFile{name})) +
                                     " are longer than 255 bytes");
      }
      UniqueFd below(openat(directory, part.c_str(), kDirectoryFlags));
      if (!below) throw failed(name);
      walk(below.get(), name + "/", found, left_out);
    } else if (S_ISREG(info.st_mode)) {
      found.push_back({name, static_cast<std::uint64_t>(info.st_size), info.st_dev,
                       info.st_ino});
    } else {
      left_out.push_back(name);
    }
  }
}

UniqueFd Tree::open(const TreeFile& file) const {
  UniqueFd fd(open_beneath(top_.get(), file.name));
  struct stat info {};
  if (!fd || fstat(fd.get(), &info) != 0) {
    const bool link = errno == ELOOP || errno == EXDEV;
    throw Failure(kFileError, "import: cannot open " + quoted(shown(file)) + ": " +
                                  (link ? std::string("a link is on its way (changed since "
                                                      "the directory was read)")
                                        : std::string(strerror(errno))));
  }
  if (!S_ISREG(info.st_mode) || info.st_dev != file.device || info.st_ino != file.inode) {
    throw Failure(kFileError, "import: " + quoted(shown(file)) +
                                  " is no longer the regular file the directory held "
                                  "when it was read");
  }
  return fd;
}

std::string Tree::shown(const TreeFile& file) const {
  return given_ + (given_.ends_with('/') ? "" : "/") + file.name;
}

}  // namespace kel::tool
