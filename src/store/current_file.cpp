#include "env/env.h"
#include "store/current_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "store/format.h"
#include "store/index_scan.h"
#include "store/io.h"
#include "store/secret.h"
#include "store/unreadable_names.h"

namespace kel::detail {

namespace {

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Bounds the reopen-and-relock loop: each turn means another process
// replaced the file while we waited, which cannot go on for ever.
constexpr int kMaxLockAttempts = 1000;

}  // namespace

Store::FileIdentity identity_of(const struct stat& status) {
  Store::FileIdentity identity;
  identity.device = status.st_dev;
  identity.inode = status.st_ino;
  identity.size = status.st_size;
  identity.modified = status.st_mtim;
  identity.status_changed = status.st_ctim;
  identity.valid = true;
  return identity;
}

bool same_identity(const Store::FileIdentity& a, const Store::FileIdentity& b) {
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
  store.read_only = read_only;
  return 0;
}

namespace {

// A store that could only be read when it was opened may be writable by now
// (its mode changed while a long-lived caller kept it open): a write lock
// needs a descriptor that can write, so one is opened afresh. It takes the
// old one's number, which a paused index scan still reads through. A file
// that is still only readable keeps its descriptor, and the lock says why.
void reopen_if_writable(Store& store) {
  if (!store.read_only || store.store_fd < 0) return;
  bool read_only = true;
  io::UniqueFd fd(io::open_store_file(store.file_path, read_only));
  struct stat held {}, fresh {};
  if (!fd.valid() || read_only || detail::env().fstat(store.store_fd, &held) != 0 ||
      detail::env().fstat(fd.get(), &fresh) != 0 || held.st_dev != fresh.st_dev ||
      held.st_ino != fresh.st_ino) {
    return;  // still read-only, or another file: the loop below sees to that
  }
  if (::dup3(fd.get(), store.store_fd, O_CLOEXEC) >= 0) store.read_only = false;
}

}  // namespace

int lock_current_store(Store& store, const std::string& prefix,
                       std::string& text) {
  reopen_if_writable(store);
  for (int attempt = 0; attempt < kMaxLockAttempts; ++attempt) {
    if (ensure_current_fd(store) != 0 ||
        io::lock_whole_file(store.store_fd, F_WRLCK) != 0) {
      text = prefix + io::error_text(errno);
      return -1;
    }
    // While we waited, a removal may have put a new file in place; the lock
    // we hold is then on the old one, which nobody will read again.
    if (store_fd_is_current(store)) return 0;
    io::unlock_whole_file(store.store_fd);
  }
  text = prefix + io::error_text(EAGAIN);
  return -1;
}

void unlock_store(const Store& store) {
  if (store.store_fd >= 0) io::unlock_whole_file(store.store_fd);
}

int refresh_index(Store& store, const unsigned char* key, std::string& text) {
  if (!store.is_store_changed()) {
    return continue_index_scan(store, key, nullptr, text);
  }
  // A partial index restored below must not pass for a complete one.
  const bool was_partial = store.paused_scan != nullptr;
  auto previous_index = std::move(store.index);
  clear_index(store.index);
  auto previous_time = store.index_time;
  auto previous_file = store.indexed_file;
  auto previous_end = store.index_end;
  auto previous_damage = store.damaged;
  auto previous_claims = store.claims_end;
  auto previous_unfinished = store.unfinished_name_length;
  if (store.build_index(key, text) == 0) {
    clear_index(previous_index);
    return 0;
  }
  clear_index(store.index);
  store.index = std::move(previous_index);
  store.index_time = previous_time;
  store.indexed_file = previous_file;
  store.indexed_file.valid = previous_file.valid && !was_partial;
  store.index_end = previous_end;
  store.damaged = std::move(previous_damage);
  store.claims_end = previous_claims;
  store.unfinished_name_length = previous_unfinished;
  return -1;
}

int refresh_index_if_changed(Store& store, std::string& text) {
  if (!store.paused_scan && !store.is_store_changed()) return 0;
  SecretBytes<format::kKeySize> key;
  if (store.get_store_key(key.data()) != 0) {
    text = "Could not get store key";
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
  if (found == store.index.end() && store.paused_scan) {
    SecretBytes<format::kKeySize> own_key;
    if (key == nullptr) {
      if (store.get_store_key(own_key.data()) != 0) {
        text = "Could not get store key";
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
    store.indexed_file.valid = false;
    return;
  }
  store.indexed_file = identity_of(status);
  store.index_end = index_end;
}

int cut_interrupted_append(Store& store, const unsigned char* key, std::string& text) {
  struct stat status {};
  if (detail::env().fstat(store.store_fd, &status) != 0) {
    text = "Could not read store data - " + io::error_text(errno);
    return -1;
  }
  if (store.index_end < format::kHeaderSize || status.st_size <= store.index_end) {
    return 0;
  }
  unsigned char first = 1;
  ssize_t got = io::pread_full(store.store_fd, &first, 1, store.index_end);
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
  if (store.unfinished_name_length != 0) {
    const auto length = static_cast<unsigned char>(store.unfinished_name_length);
    if (io::pwrite_full(store.store_fd, &length, 1, store.index_end) != 0 ||
        io::sync_data(store.store_fd) != 0) {
      text = "Could not complete the last entry: " + io::error_text(errno);
      return -1;
    }
    return refresh_index(store, key, text);
  }
  // Nothing in a torn one was acknowledged.
  if (detail::env().ftruncate(store.store_fd, store.index_end) != 0 ||
      io::sync_data(store.store_fd) != 0) {
    text = "Could not truncate file: " + io::error_text(errno);
    return -1;
  }
  remember_indexed_file(store, store.index_end);
  return 0;
}

}  // namespace kel::detail
