#include "robust/faulty_env.h"

#include <errno.h>
#include <limits.h>
#include <unistd.h>

namespace kel::robust {

namespace {

const char* const kNames[kelFaultKinds] = {
    "open",      "read",  "write",  "fsync", "fdatasync", "rename", "link",
    "ftruncate", "lseek", "unlink", "stat",  "copy",      "chmod",  "lock"};

bool below(const std::string& path, const std::string& dir) {
  return path.compare(0, dir.size(), dir) == 0 &&
         (path.size() == dir.size() || path[dir.size()] == '/');
}

}  // namespace

const char* FaultyEnv::name(int kind) {
  return kind >= 0 && kind < kelFaultKinds ? kNames[kind] : "?";
}

void FaultyEnv::watch(const std::string& dir) {
  std::lock_guard<std::mutex> guard(mutex_);
  watched_ = dir;
  while (watched_.size() > 1 && watched_.back() == '/') watched_.pop_back();
  if (watched_.empty()) tracked_.clear();
}

void FaultyEnv::count(bool on) {
  std::lock_guard<std::mutex> guard(mutex_);
  counting_ = on;
}

void FaultyEnv::reset() {
  std::lock_guard<std::mutex> guard(mutex_);
  for (long& n : calls_) n = 0;
  armed_kind_ = hook_kind_ = -1;
  armed_nth_ = hook_nth_ = 0;
  armed_error_ = 0;
  fired_ = 0;
  hook_fn_ = nullptr;
}

void FaultyEnv::arm(int kind, long nth, int error) {
  std::lock_guard<std::mutex> guard(mutex_);
  armed_kind_ = kind;
  armed_nth_ = nth;
  armed_error_ = error;
}

long FaultyEnv::calls(int kind) const {
  std::lock_guard<std::mutex> guard(mutex_);
  return kind >= 0 && kind < kelFaultKinds ? calls_[kind] : 0;
}

long FaultyEnv::fired() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return fired_;
}

void FaultyEnv::before(int kind, long nth, void (*fn)(void*), void* arg) {
  std::lock_guard<std::mutex> guard(mutex_);
  hook_kind_ = kind;
  hook_nth_ = nth;
  hook_fn_ = fn;
  hook_arg_ = arg;
}

void FaultyEnv::whole_seconds(bool on) {
  std::lock_guard<std::mutex> guard(mutex_);
  whole_seconds_ = on;
}

void FaultyEnv::track(int fd) { mark(fd, true); }

// A number the kernel hands out again may name some other file now.
void FaultyEnv::mark(int fd, bool watched) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (watched) {
    tracked_.insert(fd);
  } else {
    tracked_.erase(fd);
  }
}

bool FaultyEnv::path_watched(const char* path) const {
  std::lock_guard<std::mutex> guard(mutex_);
  if (watched_.empty() || path == nullptr) return false;
  if (path[0] == '/') return below(path, watched_);
  char cwd[PATH_MAX];
  return ::getcwd(cwd, sizeof cwd) != nullptr && below(cwd, watched_);
}

bool FaultyEnv::fd_watched(int fd) const {
  std::lock_guard<std::mutex> guard(mutex_);
  return tracked_.count(fd) != 0;
}

FaultyEnv::Verdict FaultyEnv::inject(int kind, bool relevant) {
  std::unique_lock<std::mutex> guard(mutex_);
  if (!relevant || !counting_) return go;
  const long n = ++calls_[kind];
  if (kind == hook_kind_ && n == hook_nth_ && hook_fn_ != nullptr) {
    void (*fn)(void*) = hook_fn_;
    hook_fn_ = nullptr;
    counting_ = false;
    guard.unlock();
    fn(hook_arg_);
    guard.lock();
    counting_ = true;
  }
  if (kind != armed_kind_ || n != armed_nth_) return go;
  ++fired_;
  if (armed_error_ == KEL_FAULT_SHORT) {
    return kind == kelFaultRead || kind == kelFaultWrite ? shorten : go;
  }
  if (armed_error_ == KEL_FAULT_SKIP) return skip;
  errno = armed_error_;
  return fail;
}

int FaultyEnv::stat_result(int result, bool relevant, struct stat* out) const {
  std::lock_guard<std::mutex> guard(mutex_);
  if (result == 0 && relevant && whole_seconds_) {
    out->st_atim.tv_nsec = 0;
    out->st_mtim.tv_nsec = 0;
    out->st_ctim.tv_nsec = 0;
  }
  return result;
}

namespace {
std::size_t part(bool shortened, std::size_t length) {
  return shortened && length > 1 ? length / 2 : length;
}
}  // namespace

// Relevance and the verdict are decided under the mutex; the call itself
// runs outside it, so that a lock wait in one thread stops no other.
int FaultyEnv::open(const char* path, int flags, mode_t mode) {
  const bool relevant = path_watched(path);
  if (inject(kelFaultOpen, relevant) == fail) return -1;
  const int fd = real_.open(path, flags, mode);
  if (fd >= 0) mark(fd, relevant);
  return fd;
}

int FaultyEnv::close(int fd) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    tracked_.erase(fd);
  }
  return real_.close(fd);
}

int FaultyEnv::duplicate(int fd) {
  const int copy = real_.duplicate(fd);
  if (copy >= 0) mark(copy, fd_watched(fd));
  return copy;
}

ssize_t FaultyEnv::read(int fd, void* buffer, std::size_t length) {
  const Verdict verdict = inject(kelFaultRead, fd_watched(fd));
  if (verdict == fail) return -1;
  return real_.read(fd, buffer, part(verdict == shorten, length));
}

ssize_t FaultyEnv::pread(int fd, void* buffer, std::size_t length, off_t offset) {
  const Verdict verdict = inject(kelFaultRead, fd_watched(fd));
  if (verdict == fail) return -1;
  return real_.pread(fd, buffer, part(verdict == shorten, length), offset);
}

ssize_t FaultyEnv::write(int fd, const void* data, std::size_t length) {
  const Verdict verdict = inject(kelFaultWrite, fd_watched(fd));
  if (verdict == fail) return -1;
  return real_.write(fd, data, part(verdict == shorten, length));
}

ssize_t FaultyEnv::pwrite(int fd, const void* data, std::size_t length, off_t offset) {
  const Verdict verdict = inject(kelFaultWrite, fd_watched(fd));
  if (verdict == fail) return -1;
  return real_.pwrite(fd, data, part(verdict == shorten, length), offset);
}

ssize_t FaultyEnv::copy_range(int from, off_t* from_offset, int to, off_t* to_offset,
                              std::size_t length) {
  if (inject(kelFaultCopy, fd_watched(from) || fd_watched(to)) == fail) return -1;
  return real_.copy_range(from, from_offset, to, to_offset, length);
}

off_t FaultyEnv::lseek(int fd, off_t offset, int whence) {
  if (inject(kelFaultLseek, fd_watched(fd)) == fail) return -1;
  return real_.lseek(fd, offset, whence);
}

int FaultyEnv::fsync(int fd) {
  const Verdict verdict = inject(kelFaultFsync, fd_watched(fd));
  if (verdict == fail) return -1;
  return verdict == skip ? 0 : real_.fsync(fd);
}

int FaultyEnv::fdatasync(int fd) {
  const Verdict verdict = inject(kelFaultFdatasync, fd_watched(fd));
  if (verdict == fail) return -1;
  return verdict == skip ? 0 : real_.fdatasync(fd);
}

int FaultyEnv::ftruncate(int fd, off_t length) {
  if (inject(kelFaultFtruncate, fd_watched(fd)) == fail) return -1;
  return real_.ftruncate(fd, length);
}

int FaultyEnv::fstat(int fd, struct stat* out) {
  const bool relevant = fd_watched(fd);
  if (inject(kelFaultStat, relevant) == fail) return -1;
  return stat_result(real_.fstat(fd, out), relevant, out);
}

int FaultyEnv::stat(const char* path, struct stat* out) {
  const bool relevant = path_watched(path);
  if (inject(kelFaultStat, relevant) == fail) return -1;
  return stat_result(real_.stat(path, out), relevant, out);
}

int FaultyEnv::lstat(const char* path, struct stat* out) {
  const bool relevant = path_watched(path);
  if (inject(kelFaultStat, relevant) == fail) return -1;
  return stat_result(real_.lstat(path, out), relevant, out);
}

int FaultyEnv::fchmod(int fd, mode_t mode) {
  if (inject(kelFaultChmod, fd_watched(fd)) == fail) return -1;
  return real_.fchmod(fd, mode);
}

// Ownership is kept best effort by the library; the interposer never failed
// it either.
int FaultyEnv::fchown(int fd, uid_t owner, gid_t group) {
  return real_.fchown(fd, owner, group);
}

ssize_t FaultyEnv::readlink(const char* path, char* buffer, std::size_t size) {
  return real_.readlink(path, buffer, size);
}

int FaultyEnv::rename(const char* from, const char* to) {
  if (inject(kelFaultRename, path_watched(from) || path_watched(to)) == fail) {
    return -1;
  }
  return real_.rename(from, to);
}

int FaultyEnv::rename_no_replace(const char* from, const char* to) {
  if (inject(kelFaultRename, path_watched(from) || path_watched(to)) == fail) {
    return -1;
  }
  return real_.rename_no_replace(from, to);
}

int FaultyEnv::link(const char* existing, const char* name) {
  if (inject(kelFaultLink, path_watched(existing) || path_watched(name)) == fail) {
    return -1;
  }
  return real_.link(existing, name);
}

int FaultyEnv::unlink(const char* path) {
  if (inject(kelFaultUnlink, path_watched(path)) == fail) return -1;
  return real_.unlink(path);
}

// A listing opens the directory: it counts, and fails, as an open.
int FaultyEnv::list_directory(const std::string& directory,
                              std::vector<std::string>& names) {
  if (inject(kelFaultOpen, path_watched(directory.c_str())) == fail) return -1;
  return real_.list_directory(directory, names);
}

int FaultyEnv::lock(int fd, int cmd, struct flock* lock) {
  const bool taking = cmd != F_OFD_GETLK && lock != nullptr && lock->l_type != F_UNLCK;
  if (taking && inject(kelFaultLock, fd_watched(fd)) == fail) return -1;
  return real_.lock(fd, cmd, lock);
}

}  // namespace kel::robust
