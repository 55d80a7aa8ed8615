#include "store/header_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "store/format.h"
#include "store/io.h"

namespace kel::detail {

SharedFileLock::SharedFileLock(int fd)
    : fd_(fd), locked_(io::lock_whole_file(fd, F_RDLCK) == 0) {}

SharedFileLock::~SharedFileLock() {
  if (locked_) io::unlock_whole_file(fd_);
}

int read_header_fields(Store& store, int fd, std::string& text) {
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
  if (::lseek(fd, 0, SEEK_SET) == -1) {
    text = std::string(fields[0].message) + io::error_text(errno);
    return -1;
  }
  for (const Field& field : fields) {
    if (io::read_full(fd, field.into, field.size) < 0) {
      text = field.message + io::error_text(errno);
      return -1;
    }
  }
  ::lseek(fd, format::kHeaderSize, SEEK_SET);
  return 0;
}

int read_hash_and_salt(int fd, unsigned char* hash, unsigned char* salt,
                       std::string& text) {
  SharedFileLock lock(fd);
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

}  // namespace kel::detail
