// The files a rewrite makes beside the store: the new file under a temporary
// name, the backup of the old one, and the clean-up of temporaries that a
// killed rewrite left behind.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "crypto/aead_stream.h"
#include "env/env.h"
#include "engine/file/file_copy.h"
#include "engine/file/file_names.h"
#include "engine/keyring/binding.h"
#include "engine/keyring/header_v3.h"
#include "engine/records/format.h"
#include "engine/records/record_codec.h"
#include "engine/records/rewrite.h"
#include "engine/records/rewrite_steps.h"
#include "store/secret.h"

namespace kel::detail {

TemporaryFile::~TemporaryFile() {
  fd_.reset();
  if (!kept_ && !path_.empty()) detail::env().unlink(path_.c_str());
}

int TemporaryFile::create(const std::string& beside, const std::string& extension) {
  path_ = temporary_path(beside, extension);
  fd_.reset(io::open_file(path_.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd_.valid()) {
    int saved = errno;
    path_.clear();  // not ours: nothing to delete
    errno = saved;
    return -1;
  }
  return 0;
}

int rename_over(TemporaryFile& file, const std::string& destination) {
  if (io::sync_all(file.fd()) != 0) return -1;
  if (detail::env().rename(file.path().c_str(), destination.c_str()) != 0) return -1;
  file.keep();
  return io::sync_parent_directory(destination);
}

int replace_with_copy(int from, off_t size, mode_t mode,
                      const std::string& destination,
                      const std::string& extension) {
  TemporaryFile copy;
  if (copy.create(destination, extension) != 0) return -1;
  if (detail::env().fchmod(copy.fd(), mode & 07777) != 0) return -1;
  switch (copy_range(from, 0, size, copy.fd(), 0)) {
    case CopyResult::done:
      break;
    case CopyResult::short_source:
      errno = EIO;
      return -1;
    default:
      return -1;
  }
  return rename_over(copy, destination);
}

int keep_backup(const StoreWriteLock& lock, int old_fd, const std::string& backup,
                const std::string& extension) {
  struct stat old_file {};
  if (detail::env().fstat(old_fd, &old_file) != 0) return -1;
  // A second name for the old file, made under a temporary name and renamed
  // over any older backup in one step. The temporary name is deleted in any
  // case: when the old backup already was a name of this same file, the
  // rename leaves both names in place.
  const std::string link_name = temporary_path(lock.target(), extension);
  if (detail::env().link(lock.target().c_str(), link_name.c_str()) == 0) {
    struct stat linked {};
    bool same = detail::env().lstat(link_name.c_str(), &linked) == 0 &&
                linked.st_dev == old_file.st_dev && linked.st_ino == old_file.st_ino;
    if (same) {
      int rc = detail::env().rename(link_name.c_str(), backup.c_str());
      int saved = errno;
      detail::env().unlink(link_name.c_str());
      errno = saved;
      // The backup's name is made durable before the new file may take the
      // old one's place. Names changed in one directory need not reach the
      // disk in the order they were made: without this sync a power cut
      // could keep the new file's rename and lose the backup's, and with it
      // the only copy of the old file (for a repair, of the damaged bytes).
      return rc == 0 ? io::sync_parent_directory(backup) : rc;
    }
    // Not the locked file: the target was swapped under us. Copy instead.
    detail::env().unlink(link_name.c_str());
  }
  // Where hard links are impossible (some file systems), a synced copy.
  return replace_with_copy(old_fd, old_file.st_size, old_file.st_mode, backup,
                           extension);
}

namespace {

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the file at `path` is one that a rewrite of the store (open as
// `store_fd`, kept as `backup`) made and never finished:
//   - a second name of the store or of its backup (the backup's link made
//     under a temporary name): deleting that name loses nothing;
//   - a regular file with one name that is shorter than a store header (a
//     new file killed before it got one), or that starts with this store's
//     header, which a rewrite copies first.
// Anything else that merely has such a name (another store, a file or link
// someone planted) is left alone.
bool is_own_leftover(const std::string& path, int store_fd, const std::string& backup,
                     const unsigned char* header, const unsigned char* key) {
  struct stat candidate {}, store {}, kept {};
  if (detail::env().lstat(path.c_str(), &candidate) != 0 || !S_ISREG(candidate.st_mode) ||
      detail::env().fstat(store_fd, &store) != 0) {
    return false;
  }
  if (same_file(candidate, store) ||
      (detail::env().lstat(backup.c_str(), &kept) == 0 && same_file(candidate, kept))) {
    return true;
  }
  if (candidate.st_nlink != 1) return false;
  // A rewrite's file belongs to whoever ran it or, once its owner was set,
  // to the store's owner, and has mode 0600 or the store's mode: another
  // user's file, or one with other permission bits, is not ours to delete.
  const mode_t mode = candidate.st_mode & 07777;
  if ((candidate.st_uid != ::geteuid() && candidate.st_uid != store.st_uid) ||
      (mode != 0600 && mode != (store.st_mode & 07777))) {
    return false;
  }
  // Shorter than a header: killed before the header was copied. An empty
  // store is exactly a header long, so it never counts as one.
  if (candidate.st_size < format::kHeaderSize) return true;
  io::UniqueFd fd(io::open_file(path.c_str(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat opened {};
  unsigned char start[format::kHeaderSize + codec::kMaxFixedPartSize];
  if (!fd.valid() || detail::env().fstat(fd.get(), &opened) != 0 || !same_file(opened, candidate)) {
    return false;
  }
  const ssize_t got = io::pread_full(fd.get(), start, sizeof start, 0);
  if (got < format::kHeaderSize) return false;
  if (std::memcmp(start, header, format::kHeaderSize) == 0) return true;
  // Format 3: a rewrite's file is the store's header under another
  // generation; a name would need its value's tag, read further on.
  if (is_version3_header(start)) {
    return is_version3_header(header) &&
           std::memcmp(start + format::v3::kStoreIdOffset, header + format::v3::kStoreIdOffset,
                       format::kStoreIdSize) == 0;
  }
  const unsigned char* record = start + format::kHeaderSize;
  const long n = record[0];
  if (n == 0 || got < format::kHeaderSize + codec::fixed_part_size(n)) return false;
  unsigned char name[format::kMaxNameLength];
  // A name is bound to the header it was written under (format 2).
  Binding binding;
  if (is_version2_header(start)) {
    binding.bound = true;
    std::memcpy(binding.store_id, start + format::kV2StoreIdOffset, sizeof binding.store_id);
  }
  crypto::AeadStream opener;
  const bool authentic =
      opener.begin(key, record + codec::name_nonce_at(n), false,
                   record + codec::name_tag_at(n), binding.name_ad(0, nullptr).view()) &&
      opener.update(record + codec::name_cipher_at(), static_cast<std::size_t>(n), name) &&
      opener.finish();
  wipe(name, sizeof name);
  return authentic;
}

}  // namespace

void remove_stale_temporaries(const StoreWriteLock& lock, int store_fd,
                              const unsigned char* key, const std::string& backup,
                              const std::string& extension) {
  namespace fs = std::filesystem;
  unsigned char header[format::kHeaderSize];
  if (io::pread_full(store_fd, header, sizeof header, 0) !=
      static_cast<ssize_t>(sizeof header)) {
    return;
  }
  const std::string directory = io::parent_directory(lock.target());
  const std::string own_name = fs::path(lock.target()).filename().string();
  // A listing cut short by an error still clears what it named.
  std::vector<std::string> names;
  detail::env().list_directory(directory, names);
  for (const std::string& name : names) {
    const std::string path = directory + "/" + name;
    if (is_temporary_path(own_name, extension, name) &&
        is_own_leftover(path, store_fd, backup, header, key)) {
      detail::env().unlink(path.c_str());
    }
  }
}

}  // namespace kel::detail
