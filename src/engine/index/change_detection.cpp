#include <sys/stat.h>

#include "engine/engine.h"
#include "kel/store.h"
#include "env/env.h"
#include "engine/index/current_file.h"
#include "engine/index/index_scan.h"
#include "engine/file/io.h"

namespace kel {

namespace {

// The last scan stopped at a record whose first byte was still zero: an
// append in progress (or one that died). Appends write that byte last, and
// writing it need not change the file's size or, on file systems that keep
// coarse times, its modification time. So look at the byte itself.
bool stopped_record_completed(const Store& store) {
  // (While a scan is paused, the scan has not reached the end yet.)
  if (store.store_fd < 0 || store.engine->index.paused_scan != nullptr ||
      store.engine->index.index_end >= store.engine->index.indexed_file.size) {
    return false;
  }
  unsigned char first = 0;
  ssize_t got = io::pread_full(store.store_fd, &first, 1, store.engine->index.index_end);
  return got != 1 || first != 0;
}

}  // namespace

bool Store::is_store_changed() {
  struct stat status {};
  if (detail::env().stat(file_path.c_str(), &status) != 0) return false;
  if (!engine->index.indexed_file.valid) return true;
  if (!detail::same_identity(detail::identity_of(status), engine->index.indexed_file)) {
    return true;
  }
  return stopped_record_completed(*this);
}

}  // namespace kel
