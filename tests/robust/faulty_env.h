// An Env for fault-injection tests: it passes every call on to the POSIX
// Env and, when armed, makes the nth call of one kind fail with a chosen
// errno, transfer only part of what it was asked for, or report a sync it
// never made. It works in-process, in front of the library's file calls
// only, so the test harness's own files are never disturbed and no
// preloaded library is needed.
//
// Only calls that touch the watched directory count: by path, or through a
// descriptor this Env opened below it (or one the test hands it with
// track()). The kinds and the special errors are those of the interposer
// (robust/fault_control.h), which remains for what happens below the
// library's seam.
#pragma once

#include <sys/types.h>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "env/env.h"
#include "robust/crash_states.h"
#include "robust/fault_control.h"

namespace kel::robust {

class FaultyEnv final : public detail::Env {
 public:
  // Watch everything below `dir` (an absolute path); empty stops watching.
  void watch(const std::string& dir);
  // Start or stop counting calls on watched paths and descriptors.
  void count(bool on);
  // Zero every counter and disarm.
  void reset();
  // Make the nth counted call (1-based) of `kind` fail with `error`, or with
  // KEL_FAULT_SHORT transfer only half (at least one byte), or with
  // KEL_FAULT_SKIP report success without doing it (syncs).
  void arm(int kind, long nth, int error);
  long calls(int kind) const;
  long fired() const;
  // Runs fn(arg), with counting off, just before the nth counted call of
  // `kind` is carried out: "another process" acting at an exact moment.
  void before(int kind, long nth, void (*fn)(void*), void* arg);
  // stat results of watched files carry whole seconds only.
  void whole_seconds(bool on);
  // Counts calls on `fd` as on a watched descriptor until it is closed here.
  void track(int fd);
  // While on, fsync and fdatasync of watched descriptors report success and
  // do nothing: for checks that need no durability and must run fast.
  void syncs_off(bool on);
  // While on, every call that changes the watched directory is logged in
  // call order, with the bytes it wrote (files named by inode, names
  // relative to the watched directory), so that a test can rebuild what a
  // power cut at any point may have left. Turning it on clears the log.
  void record(bool on);
  std::vector<LoggedCall> take_log();
  static const char* name(int kind);

  int open(const char* path, int flags, mode_t mode) override;
  int close(int fd) override;
  int duplicate(int fd) override;
  ssize_t read(int fd, void* buffer, std::size_t length) override;
  ssize_t pread(int fd, void* buffer, std::size_t length, off_t offset) override;
  ssize_t write(int fd, const void* data, std::size_t length) override;
  ssize_t pwrite(int fd, const void* data, std::size_t length, off_t offset) override;
  ssize_t copy_range(int from, off_t* from_offset, int to, off_t* to_offset,
                     std::size_t length) override;
  off_t lseek(int fd, off_t offset, int whence) override;
  int fsync(int fd) override;
  int fdatasync(int fd) override;
  int ftruncate(int fd, off_t length) override;
  int fstat(int fd, struct stat* out) override;
  int stat(const char* path, struct stat* out) override;
  int lstat(const char* path, struct stat* out) override;
  int fchmod(int fd, mode_t mode) override;
  int fchown(int fd, uid_t owner, gid_t group) override;
  ssize_t readlink(const char* path, char* buffer, std::size_t size) override;
  int rename(const char* from, const char* to) override;
  int rename_no_replace(const char* from, const char* to) override;
  int link(const char* existing, const char* name) override;
  int unlink(const char* path) override;
  int list_directory(const std::string& directory,
                     std::vector<std::string>& names) override;
  int lock(int fd, int cmd, struct flock* lock) override;

 private:
  enum Verdict { go, fail, shorten, skip };
  // Counts a call of `kind` if it is `relevant`; says what to do with it
  // (errno is set for `fail`).
  Verdict inject(int kind, bool relevant);
  bool path_watched(const char* path) const;
  bool fd_watched(int fd) const;
  void mark(int fd, bool watched);
  int stat_result(int result, bool relevant, struct stat* out) const;
  // Logging, each a no-op unless recording and the file or name is watched.
  void log_file(int kind, int fd, long long offset, std::string data = {});
  void log_names(int kind, const char* from, const char* to);
  bool syncs_skipped(int fd) const;
  std::string relative_name(const char* path) const;  // under mutex_

  detail::Env& real_ = detail::posix_env();
  mutable std::mutex mutex_;
  std::string watched_;
  std::set<int> tracked_;
  bool counting_ = false;
  long calls_[kelFaultKinds] = {};
  int armed_kind_ = -1;
  long armed_nth_ = 0;
  int armed_error_ = 0;
  long fired_ = 0;
  int hook_kind_ = -1;
  long hook_nth_ = 0;
  void (*hook_fn_)(void*) = nullptr;
  void* hook_arg_ = nullptr;
  bool whole_seconds_ = false;
  bool syncs_off_ = false;
  bool recording_ = false;
  std::vector<LoggedCall> log_;
  struct FileOf {
    unsigned long long inode = 0;
    bool directory = false;
  };
  std::map<int, FileOf> file_of_;  // watched descriptors
};

}  // namespace kel::robust
