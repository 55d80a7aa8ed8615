#include "env/env.h"
#include "engine/index/current_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "crypto/store_key.h"
#include "engine/engine.h"
#include "engine/records/format.h"
#include "engine/index/index_scan.h"
#include "engine/file/io.h"
#include "store/secret.h"
#include "store/status_note.h"
#include "engine/index/unreadable_names.h"

namespace kel::detail {

namespace {

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Bounds the reopen-and-relock loop: each turn means another process
// replaced the file while we waited, which cannot go on for ever.
constexpr int kMaxLockAttempts = 1000;

}  // namespace

detail::FileIdentity identity_of(const struct stat& status) {
  detail::FileIdentity identity;
  identity.device = status.st_dev;
  identity.inode = status.st_ino;
  identity.size = status.st_size;
  identity.modified = status.st_mtim;
  identity.status_changed = status.st_ctim;
  identity.valid = true;
  return identity;
}

bool same_identity(const detail::FileIdentity& a, const detail::FileIdentity& b) {
  return a.valid && b.valid && a.device == b.device && a.inode == b.inode &&
         a.size == b.size && same_time(a.modified, b.modified) &&
         same_time(a.status_changed, b.status_changed);
}

bool store_fd_is_current(const Store& store) {
  if (store.store_fd < 0) return false;
  struct stat open_file {}, named_file {};
  if (detail::env().fstat(store.store_fd, &open_file) != 0) return false;
  if (detail::env().stat(store.file_path.c_str(), &named_file) != 0) return false;
  return open_file.st_dev == named_file.st_dev &&
         open_file.st_ino == named_file.st_ino;
}

int ensure_current_fd(Store& store) {
  if (store_fd_is_current(store)) return 0;
  bool read_only = false;
  int fd = io::open_store_file(store.file_path, read_only);
  if (fd < 0) return -1;
  if (store.store_fd >= 0) detail::env().close(store.store_fd);
  store.store_fd = fd;
  store.engine->file.read_only = read_only;
  return 0;
}

namespace {

// A store that could only be read when it was opened may be writable by now
// (its mode changed while a long-lived caller kept it open): a write lock
// needs a descriptor that can write, so one is opened afresh. It takes the
// old one's number, which a paused index scan still reads through. A file
// that is still only readable keeps its descriptor, and the lock says why.
void reopen_if_writable(Store& store) {
  if (!store.engine->file.read_only || store.store_fd < 0) return;
  bool read_only = true;
  io::UniqueFd fd(io::open_store_file(store.file_path, read_only));
  struct stat held {}, fresh {};
  if (!fd.valid() || read_only || detail::env().fstat(store.store_fd, &held) != 0 ||
      detail::env().fstat(fd.get(), &fresh) != 0 || held.st_dev != fresh.st_dev ||
      held.st_ino != fresh.st_ino) {
    return;  // still read-only, or another file: the loop below sees to that
  }
  if (::dup3(fd.get(), store.store_fd, O_CLOEXEC) >= 0) store.engine->file.read_only = false;
}

}  // namespace

int lock_current_store(Store& store, const std::string& prefix,
                       std::string& text) {
  reopen_if_writable(store);
  for (int attempt = 0; attempt < kMaxLockAttempts; ++attempt) {
    if (ensure_current_fd(store) != 0 ||
        io::lock_whole_file(store.store_fd, F_WRLCK) != 0) {
      text = prefix + io::error_text(errno);
      return note_write_step(WriteStep::lock, store.file_path);
    }
    // While we waited, a removal may have put a new file in place; the lock
    // we hold is then on the old one, which nobody will read again.
    if (store_fd_is_current(store)) return 0;
    io::unlock_whole_file(store.store_fd);
  }
  text = prefix + io::error_text(EAGAIN);
  detail::set_status(Status::changed);
  return note_write_step(WriteStep::lock, store.file_path);
}

void unlock_store(const Store& store) {
  if (store.store_fd >= 0) io::unlock_whole_file(store.store_fd);
}

int refresh_index(Store& store, const unsigned char* key, std::string& text) {
  if (!store.is_store_changed()) {
    return continue_index_scan(store, key, nullptr, text);
  }
  // A partial index restored below must not pass for a complete one.
  const bool was_partial = store.engine->index.paused_scan != nullptr;
  auto previous_index = std::move(store.index);
  clear_index(store.index);
  auto previous_time = store.index_time;
  IndexState previous_state = std::move(store.engine->index);
  store.engine->index = IndexState();
  if (store.build_index(key, text) == 0) {
    clear_index(previous_index);
    return 0;
  }
  clear_index(store.index);
  store.index = std::move(previous_index);
  store.index_time = previous_time;
  // A paused scan that failed was released; the one we saved is not put
  // back either, so the restored index is marked not to be trusted whole.
  previous_state.paused_scan.reset();
  store.engine->index = std::move(previous_state);
  store.engine->index.indexed_file.valid =
      store.engine->index.indexed_file.valid && !was_partial;
  return -1;
}

int refresh_index_if_changed(Store& store, std::string& text) {
  if (!store.engine->index.paused_scan && !store.is_store_changed()) return 0;
  SecretBytes<format::kKeySize> key;
  if (detail::get_store_key(store, key.data()) != 0) {
    detail::fail(text, Status::internal, "Could not get store key");
    return -1;
  }
  return refresh_index(store, key.data(), text);
}

int prepare_to_read(Store& store, std::string& text) {
  if (!store.store_opened) return store.open_store(text);
  if (ensure_current_fd(store) != 0) {
    text = "Could not open store: " + store.file_path + " - " +
           io::error_text(errno);
    return -1;
  }
  return refresh_index_if_changed(store, text);
}

int prepare_to_find(Store& store, std::string& text) {
  if (!store.store_opened) return open_store_for_lookup(store, text);
  if (ensure_current_fd(store) != 0) {
    text = "Could not open store: " + store.file_path + " - " +
           io::error_text(errno);
    return -1;
  }
  if (!store.is_store_changed()) return 0;
  // The index describes another file: start over, as far as lookups need.
  clear_index(store.index);
  return begin_index_scan(store, text);
}

int find_item(Store& store, const std::string& name, const Item*& item,
              const unsigned char* key, std::string& text) {
  auto found = store.index.find(name);
  if (found == store.index.end() && store.engine->index.paused_scan) {
    SecretBytes<format::kKeySize> own_key;
    if (key == nullptr) {
      if (detail::get_store_key(store, own_key.data()) != 0) {
        detail::fail(text, Status::internal, "Could not get store key");
        return -1;
      }
      key = own_key.data();
    }
    if (continue_index_scan(store, key, &name, text) != 0) return -1;
    found = store.index.find(name);
  }
  // Absent from a complete index; with damage, perhaps stored all the same.
  if (found == store.index.end()) return check_absence_known(store, text);
  item = &found->second;
  return 1;
}

void remember_indexed_file(Store& store, long index_end) {
  struct stat status {};
  if (detail::env().fstat(store.store_fd, &status) != 0) {
    store.engine->index.indexed_file.valid = false;
    return;
  }
  store.engine->index.indexed_file = identity_of(status);
  store.engine->index.index_end = index_end;
}

int cut_interrupted_append(Store& store, const unsigned char* key, std::string& text) {
  struct stat status {};
  if (detail::env().fstat(store.store_fd, &status) != 0) {
    text = "Could not read store data - " + io::error_text(errno);
    return -1;
  }
  if (store.engine->index.index_end < format::kHeaderSize || status.st_size <= store.engine->index.index_end) {
    return 0;
  }
  unsigned char first = 1;
  ssize_t got = io::pread_full(store.store_fd, &first, 1, store.engine->index.index_end);
  if (got < 0) {
    text = "Could not read store data - " + io::error_text(errno);
    return -1;
  }
  if (got != 1 || first != 0) {
    return 0;  // a complete record; the index is refreshed before this
  }
  // The scan stopped at a record whose first byte is still zero, and with
  // the write lock held nobody is appending: an append writes that byte
  // last, so this one never finished.
  if (store.engine->index.unfinished_name_length != 0) {
    const auto length = static_cast<unsigned char>(store.engine->index.unfinished_name_length);
    if (io::pwrite_full(store.store_fd, &length, 1, store.engine->index.index_end) != 0 ||
        io::sync_data(store.store_fd) != 0) {
      text = "Could not complete the last entry: " + io::error_text(errno);
      return -1;
    }
    return refresh_index(store, key, text);
  }
  // Nothing in a torn one was acknowledged.
  if (detail::env().ftruncate(store.store_fd, store.engine->index.index_end) != 0 ||
      io::sync_data(store.store_fd) != 0) {
    text = "Could not truncate file: " + io::error_text(errno);
    return -1;
  }
  remember_indexed_file(store, store.engine->index.index_end);
  return 0;
}

}  // namespace kel::detail
