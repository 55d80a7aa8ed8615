#include "output_file.h"

#include <errno.h>
#include <signal.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <vector>

#include "status.h"

namespace kel::tool {

namespace {

// The temporary file being written, for the signal handler to remove. One
// OutputFile exists at a time in this program.
char g_temp_path[4096];
volatile sig_atomic_t g_temp_armed = 0;
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction g_previous[std::size(kSignals)];

void remove_and_reraise(int sig) {
  if (g_temp_armed) unlink(g_temp_path);
  g_temp_armed = 0;
  signal(sig, SIG_DFL);
  raise(sig);
}

void arm(const std::string& path) {
  if (path.size() >= sizeof g_temp_path) return;
  memcpy(g_temp_path, path.c_str(), path.size() + 1);
  struct sigaction action {};
  action.sa_handler = remove_and_reraise;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    sigaction(kSignals[i], &action, &g_previous[i]);
  }
  g_temp_armed = 1;
}

void disarm() {
  if (!g_temp_armed) return;
  g_temp_armed = 0;
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    sigaction(kSignals[i], &g_previous[i], nullptr);
  }
}

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  throw Failure(kFileError, what + " " + quoted(path) + ": " + strerror(errno));
}

}  // namespace

OutputFile::OutputFile(const std::string& path, bool replace)
    : path_(path), replace_(replace) {
  const std::size_t slash = path.find_last_of('/');
  directory_ = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty() || base == "." || base == "..") {
    throw Failure(kUsage, "not a file name: " + quoted(path));
  }
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0) {
    if (!replace) {
      throw Failure(kExists, quoted(path) + " exists (--force replaces it)");
    }
    if (S_ISDIR(info.st_mode)) {
      throw Failure(kFileError, quoted(path) + " is a directory");
    }
  }
  std::string pattern =
      (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
      "." + base + ".kel-safe-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  fd_.reset(mkostemp(name.data(), O_CLOEXEC));
  if (!fd_) fail("cannot create a file next to", path);
  temp_path_ = name.data();
  // mkostemp asks for 0600 already; make it so whatever the umask did.
  if (fchmod(fd_.get(), S_IRUSR | S_IWUSR) != 0) {
    const int saved = errno;
    unlink(temp_path_.c_str());
    errno = saved;
    fail("cannot set the mode of", temp_path_);
  }
  arm(temp_path_);
}

OutputFile::~OutputFile() {
  if (!committed_ && !temp_path_.empty()) {
    // The value may be incomplete or unauthenticated: it must not stay.
    unlink(temp_path_.c_str());
  }
  disarm();
}

void OutputFile::commit() {
  if (fsync(fd_.get()) != 0) fail("cannot sync", temp_path_);
  if (close(fd_.release()) != 0) fail("cannot write", temp_path_);
  if (replace_) {
    if (rename(temp_path_.c_str(), path_.c_str()) != 0) fail("cannot create", path_);
  } else if (link(temp_path_.c_str(), path_.c_str()) == 0) {
    // A hard link never replaces an existing file, so a file made by someone
    // else since the check above is left alone.
    unlink(temp_path_.c_str());
  } else if (errno == EEXIST) {
    throw Failure(kExists, quoted(path_) + " exists (--force replaces it)");
  } else {
    // File systems without hard links: the check in the constructor is the
    // best that remains.
    struct stat info {};
    if (lstat(path_.c_str(), &info) == 0) {
      throw Failure(kExists, quoted(path_) + " exists (--force replaces it)");
    }
    if (rename(temp_path_.c_str(), path_.c_str()) != 0) fail("cannot create", path_);
  }
  committed_ = true;
  disarm();
  UniqueFd dir(open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) fsync(dir.get());
}

}  // namespace kel::tool
