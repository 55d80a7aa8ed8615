#include "env/env.h"
#include "engine/file/write_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "engine/engine.h"
#include "engine/index/current_file.h"
#include "store/status_note.h"

namespace kel::detail {

namespace {

// Bounds the loop over a link that keeps changing under us.
constexpr int kMaxAttempts = 100;

bool names_locked_file(const std::string& path, int fd) {
  struct stat named {}, open {};
  return detail::env().stat(path.c_str(), &named) == 0 && detail::env().fstat(fd, &open) == 0 &&
         named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

}  // namespace

std::string resolve_final_links(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat status {};
    if (detail::env().lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) break;
    std::vector<char> buffer(static_cast<std::size_t>(status.st_size) + 2);
    ssize_t n = detail::env().readlink(current.c_str(), buffer.data(), buffer.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) break;
    std::string link(buffer.data(), static_cast<std::size_t>(n));
    current = link[0] == '/' ? link : io::parent_directory(current) + "/" + link;
  }
  return current;
}

StoreWriteLock::StoreWriteLock(Store& store, const std::string& prefix,
                               std::string& text) {
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    if (lock_current_store(store, prefix, text) != 0) return;
    io::UniqueFd held(detail::env().duplicate(store.store_fd));
    if (!held.valid()) {
      text = prefix + io::error_text(errno);
      unlock_store(store);
      note_write_step(WriteStep::lock, store.file_path);
      return;
    }
    std::string target = resolve_final_links(store.file_path);
    // The link may have been pointed elsewhere since the lock was granted;
    // only a target that is the locked file will do.
    if (names_locked_file(target, held.get())) {
      held_ = std::move(held);
      target_ = std::move(target);
      store_ = &store;
      ++store.engine->write_locks;
      return;
    }
    io::unlock_whole_file(held.get());
  }
  text = prefix + io::error_text(EAGAIN);
  set_status(Status::changed);
  note_write_step(WriteStep::lock, store.file_path);
}

StoreWriteLock::~StoreWriteLock() {
  if (held_.valid()) io::unlock_whole_file(held_.get());
  if (store_ != nullptr) --store_->engine->write_locks;
}

}  // namespace kel::detail
