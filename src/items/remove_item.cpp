// Removing an item. Records cannot be removed in place, so a new store file is
// written beside the old one without the item's record (later records move
// up, their value_offset lowered), made durable, and put in place with one
// atomic rename. The old file stays as the removal backup. The whole-file
// write lock is held from before the file is read until the new one is in
// place, so no append by another process can fall between the two.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "items/file_copy.h"
#include "kel/store.h"
#include "store/current_file.h"
#include "store/file_names.h"
#include "store/format.h"
#include "store/io.h"
#include "store/record_reader.h"
#include "store/secret.h"

namespace kel {

namespace {

const char* const kDamaged =
    "Store file is damaged after the entry, could not delete entry";

// A file under construction beside the store; removed unless kept.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    fd_.reset();
    if (!kept_) ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  io::UniqueFd& fd() { return fd_; }
  void keep() { kept_ = true; }

 private:
  std::string path_;
  io::UniqueFd fd_;
  bool kept_ = false;
};

// The record being removed, and the file it is removed from.
struct Span {
  off_t start = 0;   // first byte of the record
  off_t end = 0;     // first byte after it
  off_t file_size = 0;
  off_t length() const { return end - start; }
};

std::string base_name(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Files under construction that a removal killed part-way left behind.
// Every such file is made under the write lock we hold, so none of them
// belongs to a writer that is still at work.
void remove_stale_temporaries(const Store& store) {
  namespace fs = std::filesystem;
  const std::string directory = io::parent_directory(store.file_path);
  const std::string own_name = base_name(store.file_path);
  std::error_code failure;
  for (fs::directory_iterator it(directory, failure), end; !failure && it != end;
       it.increment(failure)) {
    std::string name = it->path().filename().string();
    if (detail::is_temporary_path(own_name, store.file_extension, name)) {
      ::unlink((directory + "/" + name).c_str());
    }
  }
}

int find_record(Store& store, const std::string& name, Span& span,
                std::string& error) {
  auto found = store.index.find(name);
  if (found == store.index.end()) {
    error = "Entry not found";
    return -1;
  }
  struct stat status {};
  if (::fstat(store.store_fd, &status) != 0) {
    error = "Could not read store data - " + io::error_text(errno);
    return -1;
  }
  const long n = static_cast<long>(name.size());
  span.start = found->second.value_offset - format::fixed_part_size(n);
  span.end = found->second.value_offset +
             format::value_part_size(found->second.value_length);
  span.file_size = status.st_size;
  // The last record may run past the end of a file cut short: removing it
  // is how such a store is mended, so its missing bytes are not copied.
  if (span.end > span.file_size && span.end == store.index_end &&
      span.start + format::fixed_part_size(n) <= span.file_size) {
    span.end = span.file_size;
  }
  if (span.start < format::kHeaderSize || span.end > span.file_size) {
    error = kDamaged;
    return -1;
  }
  unsigned char first = 0;
  ssize_t got = io::pread_full(store.store_fd, &first, 1, span.start);
  if (got < 0) {
    error = "Could not read store data - " + io::error_text(errno);
    return -1;
  }
  if (got != 1 || first != static_cast<unsigned char>(n)) {
    error = kDamaged;
    return -1;
  }
  return 0;
}

// The message for a failed copy of part of the store into the new file. A
// failed write of the head reads as the store's own write failure does.
int copy_failure(detail::CopyResult result, bool head, std::string& error) {
  const std::string system_text = io::error_text(errno);
  switch (result) {
    case detail::CopyResult::done:
      return 0;
    case detail::CopyResult::write_failed:
      error = head ? "Error, could not write to store - " + system_text +
                         "Could not write to tmp store"
                   : "Could not write lower part to tmp store";
      return -1;
    case detail::CopyResult::short_source:
      error = kDamaged;
      return -1;
    default:
      error = "Could not read store data - " + system_text;
      return -1;
  }
}

// The new file gets the old one's permission bits and, where allowed, its
// owner: a removal never widens who may read the store.
int create_temporary(Store& store, TemporaryFile& temporary, std::string& error) {
  struct stat status {};
  if (::fstat(store.store_fd, &status) != 0) {
    error = "Could not create tmp file - " + io::error_text(errno);
    return -1;
  }
  const mode_t mode = status.st_mode & 07777;
  temporary.fd().reset(io::open_file(temporary.path().c_str(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC,
                                     mode & 0600));
  if (!temporary.fd().valid()) {
    error = "Could not create tmp file - " + io::error_text(errno);
    return -1;
  }
  if (::fchown(temporary.fd().get(), status.st_uid, status.st_gid) != 0 &&
      errno != EPERM) {
    error = "Could not create tmp file - " + io::error_text(errno);
    return -1;
  }
  if (::fchmod(temporary.fd().get(), mode) != 0) {
    error = "Could not create tmp file - " + io::error_text(errno);
    return -1;
  }
  return 0;
}

int copy_head(Store& store, const Span& span, int to, std::string& error) {
  auto result = detail::copy_range(store.store_fd, 0, span.start, to, 0);
  return copy_failure(result, true, error);
}

// Reads `size` bytes at `at`: a failed read is an I/O error, a short one
// means the file is not what its records claim.
int read_exactly(detail::RecordReader& reader, off_t at, void* into,
                 std::size_t size, std::string& error) {
  ssize_t got = reader.read(at, into, size);
  if (got < 0) {
    error = "Could not read store data - " + io::error_text(errno);
    return -1;
  }
  if (static_cast<std::size_t>(got) != size) {
    error = kDamaged;
    return -1;
  }
  return 0;
}

// Moves one record from `from` (old file) to `to` (new file), lowering its
// value_offset by `shift`. Returns the record's size, or -1.
long long move_record(Store& store, detail::RecordReader& reader, off_t from,
                      off_t to, const Span& span, int out, std::string& error) {
  unsigned char n = 0;
  if (read_exactly(reader, from, &n, 1, error) != 0) return -1;
  if (n == 0) {
    error = kDamaged;
    return -1;
  }
  std::vector<unsigned char> fixed(static_cast<std::size_t>(format::fixed_part_size(n)));
  if (from + static_cast<off_t>(fixed.size()) > span.file_size) {
    error = kDamaged;
    return -1;
  }
  if (read_exactly(reader, from, fixed.data(), fixed.size(), error) != 0) return -1;
  const std::uint32_t v = format::get_u32(fixed.data() + format::value_length_at(n));
  const long long size = format::record_size(n, v);
  if (from + size > span.file_size) {
    error = kDamaged;
    return -1;
  }
  unsigned char* offset_field = fixed.data() + format::value_offset_at(n);
  format::put_i64(offset_field, format::get_i64(offset_field) - span.length());
  if (io::pwrite_full(out, fixed.data(), fixed.size(), to) != 0) {
    error = "Could not write lower part to tmp store";
    return -1;
  }
  const off_t value_part = static_cast<off_t>(format::value_part_size(v));
  auto result = detail::copy_range(store.store_fd,
                                   from + static_cast<off_t>(fixed.size()),
                                   value_part, out,
                                   to + static_cast<off_t>(fixed.size()));
  if (copy_failure(result, false, error) != 0) {
    return -1;
  }
  return size;
}

int copy_tail(Store& store, const Span& span, int out, std::string& error) {
  detail::RecordReader reader(store.store_fd);
  off_t to = span.start;
  for (off_t from = span.end; from < span.file_size;) {
    long long size = move_record(store, reader, from, to, span, out, error);
    if (size < 0) return -1;
    from += static_cast<off_t>(size);
    to += static_cast<off_t>(size);
  }
  return 0;
}

// A durable copy of the whole file, for file systems without hard links.
int copy_whole_file(int from, off_t size, const std::string& to_path) {
  io::UniqueFd to(io::open_file(to_path.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!to.valid()) return -1;
  struct stat status {};
  if (::fstat(from, &status) != 0 || ::fchmod(to.get(), status.st_mode & 07777) != 0 ||
      detail::copy_range(from, 0, size, to.get(), 0) != detail::CopyResult::done ||
      io::sync_all(to.get()) != 0) {
    return -1;
  }
  return 0;
}

// Keeps the old file as the removal backup: a second name for it, made
// under a temporary name and renamed over any older backup in one step.
int keep_backup(Store& store, const Span& span, std::string& error) {
  TemporaryFile link_name(detail::temporary_path(store.file_path, store.file_extension));
  if (::link(store.file_path.c_str(), link_name.path().c_str()) != 0 &&
      copy_whole_file(store.store_fd, span.file_size, link_name.path()) != 0) {
    error = "Could not backup current store file - " + io::error_text(errno);
    return -1;
  }
  const std::string backup = store.file_path + detail::kRemovalBackup;
  if (::rename(link_name.path().c_str(), backup.c_str()) != 0) {
    error = "Could not backup current store file - " + io::error_text(errno);
    return -1;
  }
  // Not kept: when the old backup already was a name of this same file, the
  // rename leaves both names in place, and the temporary one must go.
  return 0;
}

int remove_locked(Store& store, const unsigned char* key, const std::string& name,
                  std::string& error) {
  Span span;
  if (detail::refresh_index(store, key, error) != 0 ||
      detail::cut_interrupted_append(store, error) != 0 ||
      find_record(store, name, span, error) != 0) {
    return -1;
  }
  remove_stale_temporaries(store);
  TemporaryFile temporary(detail::temporary_path(store.file_path, store.file_extension));
  if (create_temporary(store, temporary, error) != 0 ||
      copy_head(store, span, temporary.fd().get(), error) != 0 ||
      copy_tail(store, span, temporary.fd().get(), error) != 0) {
    return -1;
  }
  if (io::sync_all(temporary.fd().get()) != 0) {
    error = "Error, could not write to store - " + io::error_text(errno);
    error += "Could not write to tmp store";
    return -1;
  }
  if (keep_backup(store, span, error) != 0) return -1;
  if (::rename(temporary.path().c_str(), store.file_path.c_str()) != 0) {
    error = "Could not rename tmp file - " + io::error_text(errno);
    return -1;
  }
  temporary.keep();
  io::sync_parent_directory(store.file_path);
  return 0;
}

}  // namespace

int Store::remove_item(const std::string& name, std::string& error) {
  try {
    if (open_store(error) != 0) return -1;
    detail::SecretBytes<format::kKeySize> key;
    if (get_store_key(key.data()) != 0) {
      error = "Could not get store key";
      return -1;
    }
    if (detail::lock_current_store(
            *this, "Could not obtain file lock to remove entry: ", error) != 0) {
      return -1;
    }
    int rc = remove_locked(*this, key.data(), name, error);
    if (rc != 0) {
      detail::unlock_store(*this);
      return -1;
    }
    // The new file is in place. Reading it afresh also closes the old
    // descriptor, which releases the lock writers elsewhere wait on; they
    // will find the new file and move to it.
    std::string reload_error;
    if (reload_store_content(reload_error) != 0) {
      // The removal itself is done and durable; this Store finds its way
      // back to the file on its next operation.
      index.clear();
      indexed_file.valid = false;
    }
    return 0;
  } catch (...) {
    detail::unlock_store(*this);
    error = "Unknown exception, could not delete entry";
    return -1;
  }
}

}  // namespace kel
