#include "slots/slot_files.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/file/io.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel::detail {

namespace {

// Reads the file at `path` in pieces, handing each to `take`, which
// returns false to stop; wipes the buffer. The number of bytes read, or -1
// with caller_file.
//
// Only a regular file or a pipe is read. The open does not wait: a FIFO
// that nobody writes to would hang it, and a device (/dev/zero, a
// terminal) could be read forever or consume what it gives. A pipe is read
// blocking again (`<(cat id)` writes once it runs); one whose writer is
// gone, or never came, reads as empty.
template <typename Take>
long long read_pieces(const std::string& path, const char* what, Take take,
                      std::string& error) {
  auto failed = [&](const std::string& why) -> long long {
    return fail(error, Status::caller_file,
                std::string("Could not read ") + what + " " + path + " - " + why);
  };
  io::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return failed(io::error_text(errno));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return failed(io::error_text(errno));
  if (!S_ISREG(info.st_mode) && !S_ISFIFO(info.st_mode)) {
    return failed("not a regular file");
  }
  if (S_ISFIFO(info.st_mode)) {
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
      return failed(io::error_text(errno));
    }
  }
  SecretBytes<4096> buffer;
  long long total = 0;
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return failed(io::error_text(errno));
    if (got == 0) return total;
    total += got;
    if (!take(buffer.data(), static_cast<std::size_t>(got))) return total;
  }
}

}  // namespace

int hash_key_file(const std::string& path, unsigned char* hash, std::string& error) {
  if (sodium_init() < 0) return fail(error, Status::internal, "Could not hash the key file");
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  const long long read = read_pieces(
      path, "key file",
      [&](const unsigned char* data, std::size_t length) {
        crypto_hash_sha256_update(&state, data, length);
        return true;
      },
      error);
  if (read > 0) crypto_hash_sha256_final(&state, hash);
  sodium_memzero(&state, sizeof state);
  if (read < 0) return -1;
  if (read == 0) {
    return fail(error, Status::invalid_argument, "The key file " + path + " is empty");
  }
  return 0;
}

int read_identity_file(const std::string& path, std::string& text, std::string& error) {
  // An identity file is a few lines; more is not one, and a string that
  // grows would leave copies of the secret behind.
  constexpr std::size_t kMost = 4096;
  wipe(text.data(), text.size());
  text.clear();
  text.reserve(kMost);
  bool too_long = false;
  const long long read = read_pieces(
      path, "identity file",
      [&](const unsigned char* data, std::size_t length) {
        if (text.size() + length > kMost) {
          too_long = true;  // no need to read the rest
          return false;
        }
        text.append(reinterpret_cast<const char*>(data), length);
        return true;
      },
      error);
  if (read < 0) return -1;
  if (too_long) {
    return fail(error, Status::invalid_argument,
                "Not a kel-safe identity: " + path + " is too long for an identity file");
  }
  return 0;
}

}  // namespace kel::detail
