// The whole-file write lock as a guard object, for operations that rewrite
// or change the store file. It is taken on the file that is at the store's
// path when it is granted (following a file another process put in place
// while we waited) and released on every path out of the scope that holds
// it, even after the Store's own descriptor was closed or replaced.
#pragma once

#include <string>

#include "kel/store.h"
#include "engine/file/io.h"

namespace kel::detail {

class StoreWriteLock {
 public:
  // Waits for the lock. On failure locked() is false and `text` is `prefix`
  // followed by the system's reason.
  StoreWriteLock(Store& store, const std::string& prefix, std::string& text);
  StoreWriteLock(const StoreWriteLock&) = delete;
  StoreWriteLock& operator=(const StoreWriteLock&) = delete;
  ~StoreWriteLock();

  bool locked() const { return held_.valid(); }
  // The file the store's path named when the lock was granted: the path
  // itself, or, when it is a symbolic link, the end of its chain of links,
  // resolved once here. Everything that replaces the store file in this
  // operation replaces this file, so the link itself stays.
  const std::string& target() const { return target_; }

 private:
  // A second descriptor of the locked open file description: the lock lives
  // as long as it does, whatever becomes of store_fd.
  io::UniqueFd held_;
  std::string target_;
  Store* store_ = nullptr;
};

// `path` with every symbolic link at its end followed (directories on the
// way are left as they are). A chain that does not end within 40 links is
// returned as far as it got.
std::string resolve_final_links(const std::string& path);

}  // namespace kel::detail
