// Reading one item's value: into memory, or into a descriptor in pieces.
#include <errno.h>

#include <algorithm>
#include <vector>

#include "crypto/aead_stream.h"
#include "items/value_reader.h"
#include "kel/store.h"
#include "store/current_file.h"
#include "store/format.h"
#include "store/io.h"
#include "store/secret.h"

namespace kel {

namespace {

constexpr std::size_t kPieceSize = 1 << 20;

bool valid_name(const std::string& name) {
  return !name.empty() && name.size() <= format::kMaxNameLength;
}

// Prepares a read of `name`: the store open and current, the key unmasked,
// the value part located.
int start_read(Store& store, const std::string& name, unsigned char* key,
               detail::ValueLocation& where, std::string& error) {
  if (!valid_name(name)) {
    error = "Invalid entry name";
    return -1;
  }
  if (detail::prepare_to_read(store, error) != 0) return -1;
  if (store.get_store_key(key) != 0) {
    error = "Could not get store key";
    return -1;
  }
  return detail::locate_value(store, name, where, error);
}

// Decrypts the value part at `where` in pieces into `fd`.
int stream_out(Store& store, const unsigned char* key,
               const detail::ValueLocation& where, int fd,
               const Progress& progress, std::string& error) {
  unsigned char trailer[format::kNonceSize + format::kTagSize];
  if (io::pread_full(store.store_fd, trailer, sizeof trailer,
                     where.offset + where.length) != sizeof trailer) {
    error = "Error, could not get item - " + io::error_text(errno);
    return -1;
  }
  crypto::AeadStream opener;
  if (!opener.begin(key, trailer, false, trailer + format::kNonceSize)) {
    error = "Could not decrypt value cipher";
    return -1;
  }
  std::vector<unsigned char> sealed(kPieceSize);
  detail::SecretBuffer plain(kPieceSize);
  std::uint64_t done = 0;
  while (done < where.length) {
    std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(kPieceSize, where.length - done));
    ssize_t got = io::pread_full(store.store_fd, sealed.data(), want,
                                 where.offset + static_cast<off_t>(done));
    if (got != static_cast<ssize_t>(want)) {
      error = "Error, could not get item - " + io::error_text(got < 0 ? errno : EIO);
      return -1;
    }
    if (!opener.update(sealed.data(), want, plain.data())) {
      error = "Could not decrypt value cipher";
      return -1;
    }
    if (io::write_all(fd, plain.data(), want) != 0) {
      error = "Could not write value - " + io::error_text(errno);
      return -1;
    }
    done += want;
    if (progress) progress(done, where.length);
  }
  if (!opener.finish()) {
    error = "Could not decrypt value cipher";
    return -1;
  }
  return 0;
}

}  // namespace

int Store::get_item(const std::string& name, std::string& value,
                    std::string& error) {
  if (!valid_name(name)) {
    error = "Invalid entry name";
    return -1;
  }
  std::string buffer;
  detail::StringWiper wipe_buffer(buffer);
  try {
    detail::SecretBytes<format::kKeySize> key;
    detail::ValueLocation where;
    if (start_read(*this, name, key.data(), where, error) != 0) return -1;
    const std::size_t v = where.length;
    buffer.resize(v + format::kNonceSize + format::kTagSize);
    ssize_t got = io::pread_full(store_fd, buffer.data(), buffer.size(), where.offset);
    if (got < 0) {
      error = "Error, could not get item - " + io::error_text(errno);
      return -1;
    }
    auto* bytes = reinterpret_cast<unsigned char*>(buffer.data());
    // Decrypted in place: the nonce and tag behind the cipher stay intact.
    if (static_cast<std::size_t>(got) != buffer.size() ||
        decrypt_chacha20_poly1305(bytes, v, key.data(), bytes + v, bytes,
                                  bytes + v + format::kNonceSize) == -1) {
      error = "Could not decrypt value cipher";
      return -1;
    }
    buffer.resize(v);
    value.swap(buffer);  // what `value` held before is wiped on the way out
    return 0;
  } catch (...) {
    error = "Unknown exception, could not get entry";
    return -1;
  }
}

int Store::get_item_to_fd(const std::string& name, int fd, std::string& error,
                          const Progress& progress) {
  try {
    detail::SecretBytes<format::kKeySize> key;
    detail::ValueLocation where;
    if (start_read(*this, name, key.data(), where, error) != 0) return -1;
    return stream_out(*this, key.data(), where, fd, progress, error);
  } catch (...) {
    error = "Unknown exception, could not get entry";
    return -1;
  }
}

}  // namespace kel
