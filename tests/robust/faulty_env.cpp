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

void FaultyEnv::syncs_off(bool on) {
  std::lock_guard<std::mutex> guard(mutex_);
  syncs_off_ = on;
}

void FaultyEnv::record(bool on) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (on) log_.clear();
  recording_ = on;
}

std::vector<LoggedCall> FaultyEnv::take_log() {
  std::lock_guard<std::mutex> guard(mutex_);
  return std::move(log_);
}

void FaultyEnv::log_file(int kind, int fd, long long offset, std::string data) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto file = file_of_.find(fd);
  if (!recording_ || tracked_.count(fd) == 0 || file == file_of_.end()) return;
  if (kind == kelRecordSync && file->second.directory) kind = kelRecordDirSync;
  LoggedCall call;
  call.kind = kind;
  call.file = file->second.inode;
  call.offset = offset;
  call.data = std::move(data);
  log_.push_back(std::move(call));
}

void FaultyEnv::log_names(int kind, const char* from, const char* to) {
  const bool relevant = path_watched(from) || (to != nullptr && path_watched(to));
  std::lock_guard<std::mutex> guard(mutex_);
  if (!recording_ || !relevant) return;
  LoggedCall call;
  call.kind = kind;
  call.name = relative_name(from);
  if (to != nullptr) call.name2 = relative_name(to);
  log_.push_back(std::move(call));
}

// As the calls name it: below the watched directory, relative to it.
std::string FaultyEnv::relative_name(const char* path) const {
  if (path[0] != '/') return path;
  if (!below(path, watched_)) return "";
  std::string name(path + watched_.size());
  while (!name.empty() && name.front() == '/') name.erase(0, 1);
  return name;
}

bool FaultyEnv::syncs_skipped(int fd) const {
  const bool watched = fd_watched(fd);
  std::lock_guard<std::mutex> guard(mutex_);
  return syncs_off_ && watched;
}

// A number the kernel hands out again may name some other file now.
void FaultyEnv::mark(int fd, bool watched) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (watched) {
    tracked_.insert(fd);
  } else {
    tracked_.erase(fd);
    file_of_.erase(fd);
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
  if (fd < 0) return fd;
  mark(fd, relevant);
  if (!relevant) return fd;
  struct stat status {};
  const bool known = real_.fstat(fd, &status) == 0;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    file_of_[fd] = {known ? static_cast<unsigned long long>(status.st_ino) : 0,
                    known && S_ISDIR(status.st_mode)};
  }
  if ((flags & O_CREAT) != 0 && !(known && S_ISDIR(status.st_mode))) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (recording_) {
      LoggedCall call;
      call.kind = kelRecordCreate;
      call.file = file_of_[fd].inode;
      call.name = relative_name(path);
      log_.push_back(std::move(call));
    }
  }
  if ((flags & O_TRUNC) != 0 && (flags & O_ACCMODE) != O_RDONLY) {
    log_file(kelRecordTruncate, fd, 0);
  }
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
  if (copy >= 0) {
    mark(copy, fd_watched(fd));
    std::lock_guard<std::mutex> guard(mutex_);
    const auto file = file_of_.find(fd);
    if (file != file_of_.end() && tracked_.count(copy) != 0) file_of_[copy] = file->second;
  }
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
  const ssize_t done = real_.write(fd, data, part(verdict == shorten, length));
  if (done > 0) {
    log_file(kelRecordWrite, fd, real_.lseek(fd, 0, SEEK_CUR) - done,
             std::string(static_cast<const char*>(data), static_cast<std::size_t>(done)));
  }
  return done;
}

ssize_t FaultyEnv::pwrite(int fd, const void* data, std::size_t length, off_t offset) {
  const Verdict verdict = inject(kelFaultWrite, fd_watched(fd));
  if (verdict == fail) return -1;
  const ssize_t done = real_.pwrite(fd, data, part(verdict == shorten, length), offset);
  if (done > 0) {
    log_file(kelRecordWrite, fd, offset,
             std::string(static_cast<const char*>(data), static_cast<std::size_t>(done)));
  }
  return done;
}

ssize_t FaultyEnv::copy_range(int from, off_t* from_offset, int to, off_t* to_offset,
                              std::size_t length) {
  if (inject(kelFaultCopy, fd_watched(from) || fd_watched(to)) == fail) return -1;
  const off_t in_at = from_offset != nullptr ? *from_offset : real_.lseek(from, 0, SEEK_CUR);
  const off_t out_at = to_offset != nullptr ? *to_offset : real_.lseek(to, 0, SEEK_CUR);
  const ssize_t done = real_.copy_range(from, from_offset, to, to_offset, length);
  if (done > 0) {
    // The bytes the kernel copied, read back from the source.
    std::string bytes(static_cast<std::size_t>(done), '\0');
    if (real_.pread(from, bytes.data(), bytes.size(), in_at) == done) {
      log_file(kelRecordWrite, to, out_at, std::move(bytes));
    }
  }
  return done;
}

off_t FaultyEnv::lseek(int fd, off_t offset, int whence) {
  if (inject(kelFaultLseek, fd_watched(fd)) == fail) return -1;
  return real_.lseek(fd, offset, whence);
}

int FaultyEnv::fsync(int fd) {
  const Verdict verdict = inject(kelFaultFsync, fd_watched(fd));
  if (verdict == fail) return -1;
  if (verdict == skip || syncs_skipped(fd)) return 0;
  const int rc = real_.fsync(fd);
  if (rc == 0) log_file(kelRecordSync, fd, 0);
  return rc;
}

int FaultyEnv::fdatasync(int fd) {
  const Verdict verdict = inject(kelFaultFdatasync, fd_watched(fd));
  if (verdict == fail) return -1;
  if (verdict == skip || syncs_skipped(fd)) return 0;
  const int rc = real_.fdatasync(fd);
  if (rc == 0) log_file(kelRecordSync, fd, 0);
  return rc;
}

int FaultyEnv::ftruncate(int fd, off_t length) {
  if (inject(kelFaultFtruncate, fd_watched(fd)) == fail) return -1;
  const int rc = real_.ftruncate(fd, length);
  if (rc == 0) log_file(kelRecordTruncate, fd, length);
  return rc;
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
  const int rc = real_.rename(from, to);
  if (rc == 0) log_names(kelRecordRename, from, to);
  return rc;
}

int FaultyEnv::rename_no_replace(const char* from, const char* to) {
  if (inject(kelFaultRename, path_watched(from) || path_watched(to)) == fail) {
    return -1;
  }
  const int rc = real_.rename_no_replace(from, to);
  if (rc == 0) log_names(kelRecordRename, from, to);
  return rc;
}

int FaultyEnv::link(const char* existing, const char* name) {
  if (inject(kelFaultLink, path_watched(existing) || path_watched(name)) == fail) {
    return -1;
  }
  const int rc = real_.link(existing, name);
  if (rc == 0) log_names(kelRecordLink, existing, name);
  return rc;
}

int FaultyEnv::unlink(const char* path) {
  if (inject(kelFaultUnlink, path_watched(path)) == fail) return -1;
  const int rc = real_.unlink(path);
  if (rc == 0) log_names(kelRecordUnlink, path, nullptr);
  return rc;
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
