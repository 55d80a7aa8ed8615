#include "env/env.h"
#include "engine/keyring/header_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "engine/engine.h"
#include "engine/keyring/binding.h"
#include "engine/records/format.h"
#include "engine/keyring/header_v2.h"
#include "engine/keyring/header_v3.h"
#include "engine/file/io.h"
#include "store/status_note.h"

namespace kel::detail {

SharedFileLock::SharedFileLock(int fd, bool take)
    : fd_(fd), locked_(take && io::lock_whole_file(fd, F_RDLCK) == 0) {}

SharedFileLock::~SharedFileLock() {
  if (locked_) io::unlock_whole_file(fd_);
}

namespace {

void forget_version2(Store& store) {
  store.engine->keys.format_version = 1;
  store.engine->keys.records_start = format::kHeaderSize;
  store.engine->keys.v3_header.clear();
  store.engine->keys.kdf_memory_kib = store.engine->keys.kdf_passes = store.engine->keys.kdf_lanes = 0;
  std::memset(store.engine->keys.kdf_salt, 0, sizeof store.engine->keys.kdf_salt);
  std::memset(store.engine->keys.store_id, 0, sizeof store.engine->keys.store_id);
}

}  // namespace

int read_header_fields(Store& store, int fd, std::string& text) {
  unsigned char header[format::kHeaderSize] = {};
  if (io::pread_full(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header)) {
    if (is_version3_header(header)) {
      std::vector<unsigned char> whole;
      std::vector<SlotFrame> slots;
      // The caller holds the lock.
      if (read_v3_header(fd, whole, false, text) != 0 ||
          parse_v3_header(whole, slots, text) != 0) {
        return -1;
      }
      load_v3_header(store, whole, slots);
      detail::env().lseek(fd, static_cast<off_t>(whole.size()), SEEK_SET);
      return 0;
    }
    if (is_version2_header(header)) {
      // The reserved bytes are zero in every header this library writes;
      // the members below do not keep them, so a header that differs there
      // is refused here, as its unwrapping would refuse it.
      for (long at = format::kV2ReservedOffset; at < format::kV2KeyNonceOffset; ++at) {
        if (header[at] != 0) {
          detail::fail(text, Status::wrong_password, "Invalid password");
          return -1;
        }
      }
      load_v2_header(store, header);
      detail::env().lseek(fd, format::kHeaderSize, SEEK_SET);
      return 0;
    }
    const std::string unknown = unknown_version(header, store.file_path);
    if (!unknown.empty()) {
      detail::fail(text, Status::not_a_store, unknown);
      return -1;
    }
  }
  forget_version2(store);
  struct Field {
    unsigned char* into;
    std::size_t size;
    const char* message;
  };
  const Field fields[] = {
      {store.password_hash, format::kHashSize, "Could not read store password hash: "},
      {store.password_salt, format::kSaltSize, "Could not read store password salt: "},
      {store.store_key_cipher, format::kKeySize, "Could not read store key cipher: "},
      {store.store_key_nonce, format::kNonceSize, "Could not read store key cipher: "},
      {store.store_key_tag, format::kTagSize, "Could not read store tag: "},
  };
  if (detail::env().lseek(fd, 0, SEEK_SET) == -1) {
    text = std::string(fields[0].message) + io::error_text(errno);
    return -1;
  }
  for (const Field& field : fields) {
    if (io::read_full(fd, field.into, field.size) < 0) {
      text = field.message + io::error_text(errno);
      return -1;
    }
  }
  detail::env().lseek(fd, format::kHeaderSize, SEEK_SET);
  return 0;
}

namespace {

const char* const kNotAStore = "Not a kel-safe store: ";

}  // namespace

int check_store_shape(int fd, const std::string& path, std::string& text) {
  struct stat status {};
  if (detail::env().fstat(fd, &status) != 0) {
    text = "could not read store hash: " + io::error_text(errno);
    return -1;
  }
  if (S_ISREG(status.st_mode) && status.st_size >= format::kHeaderSize) return 0;
  if (S_ISDIR(status.st_mode)) {
    detail::fail(text, Status::not_a_store,
                 kNotAStore + path + " is a directory");
  } else if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) {
    detail::fail(text, Status::not_a_store, kNotAStore + path + " is a device");
  } else if (!S_ISREG(status.st_mode)) {
    detail::fail(text, Status::not_a_store,
                 kNotAStore + path + " is not a regular file");
  } else if (status.st_size == 0) {
    detail::fail(text, Status::not_a_store, kNotAStore + path + " is empty");
  } else {
    detail::fail(text, Status::not_a_store,
                 kNotAStore + path + " is shorter than a store header (" +
                     std::to_string(status.st_size) + " of " +
                     std::to_string(format::kHeaderSize) + " bytes)");
  }
  return -1;
}

std::string open_failure(const std::string& prefix, const std::string& path,
                         int error_number) {
  if (error_number == EISDIR) {
    set_status(Status::not_a_store);
    return kNotAStore + path + " is a directory";
  }
  return prefix + io::error_text(error_number);
}

void header_of_members(const Store& store, unsigned char* header) {
  std::memcpy(header + format::kHashOffset, store.password_hash, format::kHashSize);
  std::memcpy(header + format::kSaltOffset, store.password_salt, format::kSaltSize);
  std::memcpy(header + format::kKeyCipherOffset, store.store_key_cipher, format::kKeySize);
  std::memcpy(header + format::kKeyNonceOffset, store.store_key_nonce, format::kNonceSize);
  std::memcpy(header + format::kKeyTagOffset, store.store_key_tag, format::kTagSize);
}

int read_hash_and_salt(int fd, unsigned char* hash, unsigned char* salt,
                       std::string& text, bool locked) {
  SharedFileLock lock(fd, locked);
  if (io::pread_full(fd, hash, format::kHashSize, format::kHashOffset) < 0) {
    text = "could not read store hash: " + io::error_text(errno);
    return -1;
  }
  if (io::pread_full(fd, salt, format::kSaltSize, format::kSaltOffset) < 0) {
    text = "could not read store salt: " + io::error_text(errno);
    return -1;
  }
  return 0;
}

int read_header_bytes(int fd, unsigned char* header, bool locked) {
  SharedFileLock lock(fd, locked);
  std::memset(header, 0, format::kHeaderSize);
  return io::pread_full(fd, header, format::kHeaderSize, 0) < 0 ? -1 : 0;
}

bool is_version2_file(const std::string& path) {
  io::UniqueFd fd(io::open_file(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  unsigned char header[format::kHeaderSize];
  return fd.valid() && detail::env().fstat(fd.get(), &status) == 0 && S_ISREG(status.st_mode) &&
         read_header_bytes(fd.get(), header, false) == 0 &&
         (is_version2_header(header) || is_version3_header(header));
}

bool HeaderWatch::steady() {
  io::UniqueFd fd(io::open_file(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  std::array<unsigned char, format::kHeaderSize> now{};
  if (!fd.valid() || read_header_bytes(fd.get(), now.data(), false) != 0) {
    last_.reset();
    return false;
  }
  const bool same = last_ && *last_ == now;
  last_ = now;
  return same;
}

const char* const kFormatChangedSinceOpen =
    "Could not verify password: the store file changed format since this Safe "
    "opened it; verify it through a new Safe";

bool still_version2_header(const Store& store, const unsigned char* header,
                           std::string& error) {
  if (!is_version2_header(store.engine->keys.verified_header)) {
    detail::fail(error, Status::changed, kFormatChangedSinceOpen);
    return false;
  }
  if (std::memcmp(store.engine->keys.verified_header, header, format::kHeaderSize) == 0) return true;
  detail::fail(error, Status::wrong_password, "Invalid password");
  return false;
}

}  // namespace kel::detail
