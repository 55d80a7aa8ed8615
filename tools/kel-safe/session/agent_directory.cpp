// Where the agents' sockets live. $XDG_RUNTIME_DIR/kel-safe when the session
// has a runtime directory; else $TMPDIR/kel-safe-UID (TMPDIR defaults to
// /tmp). Anyone may make that name in a shared /tmp first: when it is not a
// private directory of this user, the agents use one with a random name
// next to it instead, made with mkdtemp(3), whose path is remembered in
// ~/.cache/kel-safe-agent-directory. Every directory is checked before use
// (this user's, mode 0700, not a link), so a name someone else made, or a
// forged note of one, is never trusted.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "agent.h"
#include "status.h"
#include "streams.h"

namespace kel::tool {

namespace {

constexpr const char* kWhatToSet =
    "set XDG_RUNTIME_DIR to a directory of yours with mode 0700";

bool is_private_directory(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         info.st_uid == getuid() && (info.st_mode & 077) == 0;
}

// The note of the random directory, in the user's home; empty without one.
std::string note_path() {
  const char* home = getenv("HOME");
  if (home == nullptr || home[0] != '/') return std::string();
  return std::string(home) + "/.cache/kel-safe-agent-directory";
}

// The directory the note names, when it is one of the fallback's and
// private to this user; empty otherwise.
std::string noted_directory(const std::string& note,
                            const std::string& prefix) {
  UniqueFd fd(open(note.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (!fd || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_uid != getuid() || info.st_size > 4096) {
    return std::string();
  }
  char text[4096];
  const ssize_t n = read(fd.get(), text, sizeof text);
  if (n <= 0) return std::string();
  const std::string path(text, static_cast<std::size_t>(n));
  if (path.compare(0, prefix.size(), prefix) != 0 ||
      path.find('/', prefix.size()) != std::string::npos ||
      !is_private_directory(path)) {
    return std::string();
  }
  return path;
}

// Makes a new random directory beside `prefix` and notes it in `note`.
std::string make_noted_directory(const std::string& note,
                                 const std::string& prefix) {
  std::string path = prefix + "XXXXXX";
  if (mkdtemp(path.data()) == nullptr) {
    throw Failure(kFileError, "agent: cannot make a directory " +
                                  tool::quoted(path) + ": " + strerror(errno));
  }
  const std::string cache = note.substr(0, note.rfind('/'));
  mkdir(cache.c_str(), 0700);
  // Written whole under another name, then put in place: a client never
  // reads half a path.
  const std::string staging = note + "." + std::to_string(getpid());
  bool noted = false;
  {
    UniqueFd fd(open(staging.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     0600));
    if (fd) {
      try {
        write_all(fd.get(), path, tool::quoted(staging));
        noted = true;
      } catch (const Failure&) {
      }
    }
  }
  if (!noted || rename(staging.c_str(), note.c_str()) != 0) {
    const int error = errno;
    unlink(staging.c_str());
    rmdir(path.c_str());
    throw Failure(kFileError, "agent: cannot note the agents' directory in " +
                                  tool::quoted(note) + " (" + strerror(error) +
                                  "); " + kWhatToSet);
  }
  return path;
}

}  // namespace

std::string agent_directory(bool make) {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    const std::string directory = std::string(runtime) + "/kel-safe";
    if (make && mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
      throw Failure(kFileError, "agent: cannot make " +
                                    tool::quoted(directory) + ": " +
                                    strerror(errno));
    }
    if (!is_private_directory(directory)) {
      throw Failure(kFileError, "agent: " + tool::quoted(directory) +
                                    " is not a private directory of this user");
    }
    return directory;
  }
  const char* temporary = getenv("TMPDIR");
  const std::string base =
      (temporary != nullptr && temporary[0] == '/' ? std::string(temporary)
                                                   : std::string("/tmp")) +
      "/kel-safe-" + std::to_string(getuid());
  if (make) mkdir(base.c_str(), 0700);
  if (is_private_directory(base)) return base;
  // Taken by someone else (or not a directory of ours at all).
  const std::string note = note_path();
  const std::string prefix = base + ".";
  if (!note.empty()) {
    std::string noted = noted_directory(note, prefix);
    if (!noted.empty()) return noted;
    if (make) return make_noted_directory(note, prefix);
  }
  throw Failure(kFileError, "agent: " + tool::quoted(base) +
                                " is not a private directory of this user; " +
                                kWhatToSet);
}

}  // namespace kel::tool
