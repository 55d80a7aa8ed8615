// Reading one item's value: into memory, or into a descriptor in pieces.
#include <errno.h>
#include <openssl/evp.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include "crypto/store_key.h"
#include "items/item_reads.h"
#include "crypto/aead_check.h"
#include "crypto/aead_stream.h"
#include "interface/entry_value.h"
#include "engine/records/value_reader.h"
#include "kel/store.h"
#include "engine/index/current_file.h"
#include "engine/records/format.h"
#include "engine/records/record_codec.h"
#include "engine/file/io.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel {

namespace {

// Pieces small enough to stay in the processor's cache between being read,
// decrypted and handed on: the value crosses main memory only once more.
constexpr std::size_t kPieceSize = 256 * 1024;

bool valid_name(const std::string& name) {
  return !name.empty() && name.size() <= format::kMaxNameLength;
}

// Prepares a read of `name`: the store open and current, the key unmasked,
// the value part located.
int start_read(Store& store, const std::string& name, unsigned char* key,
               detail::ValueLocation& where, std::string& error) {
  if (!valid_name(name)) {
    detail::fail(error, Status::invalid_argument, "Invalid entry name");
    return -1;
  }
  // One name: the index need only reach that name's first record.
  if (detail::prepare_to_find(store, error) != 0) return -1;
  if (detail::get_store_key(store, key) != 0) {
    detail::fail(error, Status::internal, "Could not get store key");
    return -1;
  }
  return detail::locate_value(store, name, where, key, error);
}

// Prepares `length` bytes at `data` to receive a plain value: kept out of
// core dumps, and, for a large buffer (fresh memory from the kernel, where
// faulting it in page by page costs more than the decryption), backed by
// huge pages where the kernel has them, which cuts that to a few faults.
void prepare_value_memory(void* data, std::size_t length) {
  detail::keep_out_of_dumps(data, length);
  constexpr std::uintptr_t kHugePage = 2 * 1024 * 1024;
  if (length < 4 * kHugePage) return;
  auto begin = reinterpret_cast<std::uintptr_t>(data);
  std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  std::uintptr_t last = (begin + length) & ~(kHugePage - 1);
  if (last > first) {
    ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
}

// Makes room for a value of `length` bytes in a string.
void reserve_for_value(std::string& buffer, std::size_t length) {
  buffer.reserve(length);
  prepare_value_memory(buffer.data(), length);
}

// Values up to this size are read in one pass; above it, the length a record
// claims is not trusted to size anything, and bytes that leave the library
// before the end of the value must be known to be authentic, so the value is
// first authenticated in a pass that keeps nothing of it.
constexpr std::uint32_t kOnePassLimit = 4 * 1024 * 1024;

// A value read into a buffer no one else can see yet (an entry's value
// before it is handed over) is decrypted in one pass up to this size. The
// length a record claims has then sized the buffer before the value proved
// itself: a damaged or hostile claim costs at most this much memory for the
// moment it takes to fail.
constexpr std::uint32_t kPrivateOnePassLimit = 64 * 1024 * 1024;

// Pieces a value is read and decrypted in, in place: large reads, each
// decrypted while it is still in the processor's cache.
constexpr std::size_t kInPlacePiece = 256 * 1024;

using PieceDigest = std::array<unsigned char, 32>;

PieceDigest digest_of(const unsigned char* data, std::size_t size) {
  PieceDigest digest{};
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("digest failed");  // reported as unknown
  }
  return digest;
}

constexpr std::size_t kTrailerSize = codec::kValueTrailerSize;

// Reads the nonce and tag that follow the value cipher at `where`. Returns
// what pread_full does; -1 with the message set.
ssize_t read_trailer(Store& store, const detail::ValueLocation& where,
                     unsigned char* trailer, std::string& error) {
  ssize_t got = io::pread_full(store.store_fd, trailer, kTrailerSize,
                               where.offset + where.length);
  if (got < 0) error = "Error, could not get item - " + io::error_text(errno);
  return got;
}

// Starts `opener` on the value at `where`: its nonce and tag read from the
// trailer after the cipher, its associated data set. -1 with the message set.
int begin_opening(Store& store, const unsigned char* key,
                  const detail::ValueLocation& where, crypto::AeadStream& opener,
                  std::string& error) {
  unsigned char trailer[kTrailerSize];
  ssize_t got = read_trailer(store, where, trailer, error);
  if (got < 0) return -1;
  if (got != sizeof trailer ||
      !opener.begin(key, trailer, false, trailer + codec::value_tag_at(0), where.ad)) {
    detail::fail(error, Status::damaged, "Could not decrypt value cipher");
    return -1;
  }
  return 0;
}

// Accepts every sealed piece as it is.
struct AnyPiece {
  bool operator()(std::size_t, const unsigned char*, std::size_t) const { return true; }
};

// The size of the pieces a value at `where` is read in: both passes over a
// large value read the same pieces, so that their digests line up.
std::size_t piece_size_of(const detail::ValueLocation& where) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(kPieceSize, where.length));
}

// Reads the sealed value part at `where` piece by piece, handing each to
// `use` (its number, bytes and size), which returns false, with `error`
// set, to stop. A file that ends inside the value fails authentication.
template <typename Use>
int read_sealed_pieces(Store& store, const detail::ValueLocation& where, Use use,
                       std::string& error) {
  const std::size_t piece_size = piece_size_of(where);
  std::vector<unsigned char> sealed(piece_size);
  for (std::uint64_t done = 0, piece = 0; done < where.length; ++piece) {
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(piece_size, where.length - done));
    ssize_t got = io::pread_full(store.store_fd, sealed.data(), want,
                                 where.offset + static_cast<off_t>(done));
    if (got < 0) {
      error = "Error, could not get item - " + io::error_text(errno);
      return -1;
    }
    if (static_cast<std::size_t>(got) != want) {
      detail::fail(error, Status::damaged, "Could not decrypt value cipher");
      return -1;
    }
    if (!use(static_cast<std::size_t>(piece), sealed.data(), want)) return -1;
    done += want;
  }
  return 0;
}

// Decrypts the value part at `where` piece by piece, handing each plain
// piece to `sink` (which returns false, with `error` set, to stop). Each
// sealed piece is first shown to `check` (its number, bytes and size), which
// may refuse it. The value is authenticated only when this returns 0.
template <typename Sink, typename Check = AnyPiece>
int decrypt_value(Store& store, const unsigned char* key,
                  const detail::ValueLocation& where, Sink sink,
                  const Progress& progress, std::string& error,
                  Check check = AnyPiece()) {
  crypto::AeadStream opener;
  if (begin_opening(store, key, where, opener, error) != 0) return -1;
  detail::SecretBuffer plain(piece_size_of(where));
  std::uint64_t done = 0;
  auto open_piece = [&](std::size_t piece, const unsigned char* sealed,
                        std::size_t size) {
    if (!check(piece, sealed, size) || !opener.update(sealed, size, plain.data())) {
      detail::fail(error, Status::damaged, "Could not decrypt value cipher");
      return false;
    }
    if (!sink(plain.data(), size)) return false;
    done += size;
    if (progress) progress(done, where.length);
    return true;
  };
  if (read_sealed_pieces(store, where, open_piece, error) != 0) return -1;
  if (!opener.finish()) {
    detail::fail(error, Status::damaged, "Could not decrypt value cipher");
    return -1;
  }
  return 0;
}

// The first of two passes: authenticates the value at `where` from its sealed
// bytes alone (the tag is checked, nothing is decrypted or kept). With
// `digests`, notes a digest of every sealed piece, so that the second pass
// can tell it reads the very bytes that authenticated (a writer may change
// the file in between).
int authenticate_value(Store& store, const unsigned char* key,
                       const detail::ValueLocation& where,
                       std::vector<PieceDigest>* digests, std::string& error) {
  unsigned char trailer[kTrailerSize];
  ssize_t got = read_trailer(store, where, trailer, error);
  if (got < 0) return -1;
  crypto::AeadCheck check;
  if (got != sizeof trailer || !check.begin(key, trailer, where.ad)) {
    detail::fail(error, Status::damaged, "Could not decrypt value cipher");
    return -1;
  }
  auto check_piece = [&](std::size_t, const unsigned char* sealed, std::size_t size) {
    if (!check.update(sealed, size)) {
      detail::fail(error, Status::damaged, "Could not decrypt value cipher");
      return false;
    }
    if (digests != nullptr) digests->push_back(digest_of(sealed, size));
    return true;
  };
  if (read_sealed_pieces(store, where, check_piece, error) != 0) return -1;
  if (!check.finish(trailer + codec::value_tag_at(0))) {
    detail::fail(error, Status::damaged, "Could not decrypt value cipher");
    return -1;
  }
  return 0;
}

// A sink that writes plain pieces to `fd`.
auto writer_to(int fd, std::string& error) {
  return [fd, &error](const unsigned char* piece, std::size_t size) {
    if (io::write_all(fd, piece, size) == 0) return true;
    detail::fail(error, Status::caller_file,
                 "Could not write value - " + io::error_text(errno));
    return false;
  };
}

// Decrypts the value at `where` into `plain` (empty, wiped by the caller).
int read_whole_value(Store& store, const unsigned char* key,
                     const detail::ValueLocation& where, std::string& plain,
                     std::string& error) {
  // A large claimed length sizes nothing until the value has proved itself.
  if (where.length > kOnePassLimit &&
      authenticate_value(store, key, where, nullptr, error) != 0) {
    return -1;
  }
  reserve_for_value(plain, where.length);
  auto append = [&plain](const unsigned char* piece, std::size_t size) {
    plain.append(reinterpret_cast<const char*>(piece), size);
    return true;
  };
  return decrypt_value(store, key, where, append, Progress(), error);
}

// A value buffer from new[] that is wiped and released unless it is handed on.
class ValueBuffer {
 public:
  explicit ValueBuffer(std::size_t length)
      : data_(length != 0 ? new unsigned char[length] : nullptr), length_(length) {}
  ValueBuffer(const ValueBuffer&) = delete;
  ValueBuffer& operator=(const ValueBuffer&) = delete;
  ~ValueBuffer() {
    detail::wipe(data_, length_);
    delete[] data_;
  }
  unsigned char* data() { return data_; }
  unsigned char* release() { return std::exchange(data_, nullptr); }

 private:
  unsigned char* data_;
  std::size_t length_;
};

// Reads the sealed value at `where` straight into `out` (where.length
// bytes) and decrypts it there, one piece at a time while the piece is still
// in the processor's cache: no copy of the value, sealed or plain, in
// between. Whatever `out` holds counts as authentic only when this returns 0;
// until then it may hold plain bytes of a value that is not.
int open_value_into(Store& store, const unsigned char* key,
                    const detail::ValueLocation& where, unsigned char* out,
                    std::string& error) {
  crypto::AeadStream opener;
  if (begin_opening(store, key, where, opener, error) != 0) return -1;
  for (std::uint64_t done = 0; done < where.length;) {
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(kInPlacePiece, where.length - done));
    unsigned char* piece = out + done;
    ssize_t got = io::pread_full(store.store_fd, piece, want,
                                 where.offset + static_cast<off_t>(done));
    if (got < 0) {
      error = "Error, could not get item - " + io::error_text(errno);
      return -1;
    }
    if (static_cast<std::size_t>(got) != want || !opener.update(piece, want, piece)) {
      detail::fail(error, Status::damaged,
                   "Could not decrypt value cipher");  // a file that ends
                                                       // inside the value
      return -1;
    }
    done += want;
  }
  if (!opener.finish()) {
    detail::fail(error, Status::damaged, "Could not decrypt value cipher");
    return -1;
  }
  return 0;
}

}  // namespace

namespace detail {

int get_item_into(Store& store, SafeEntry& entry, std::string& error) {
  try {
    SecretBytes<format::kKeySize> key;
    ValueLocation where;
    if (start_read(store, entry.name, key.data(), where, error) != 0) return -1;
    // Beyond what a claimed length may size on trust, the value proves
    // itself in a pass of its own first.
    if (where.length > kPrivateOnePassLimit) {
      if (authenticate_value(store, key.data(), where, nullptr, error) != 0) return -1;
      if (entry.value_length == where.length && entry.value_data != nullptr) {
        // The entry's own buffer fits: the value goes straight into it,
        // which spares a fresh buffer and the wipe of the old one. The value
        // authenticated, so only a file changed in between can fail here;
        // then the entry keeps nothing.
        if (open_value_into(store, key.data(), where, entry.value_data, error) != 0) {
          adopt_value(entry, nullptr, 0);
          return -1;
        }
        return 0;
      }
    }
    // Nobody sees this buffer before it is handed to the entry, and it is
    // handed over only once the tag has been checked: plain bytes of a
    // value that fails never leave it, so one pass is enough.
    ValueBuffer value(where.length);
    if (where.length != 0) prepare_value_memory(value.data(), where.length);
    if (open_value_into(store, key.data(), where, value.data(), error) != 0) {
      return -1;  // the buffer, with whatever was decrypted, is wiped
    }
    adopt_value(entry, value.release(), where.length);
    return 0;
  } catch (...) {
    detail::fail(error, Status::internal,
                 "Unknown exception, could not get entry");
    return -1;
  }
}

}  // namespace detail

int detail::get_items(Store& store, const std::vector<std::string>& names,
                     std::vector<std::string>& values, std::string& error) {
  std::vector<std::string> plain(names.size());
  detail::StringsWiper wipe_plain(plain);
  try {
    for (const std::string& name : names) {
      if (!valid_name(name)) {
        detail::fail(error, Status::invalid_argument,
                     "Invalid entry name: " + name);
        return -1;
      }
    }
    detail::SecretBytes<format::kKeySize> key;
    if (detail::prepare_to_read(store, error) != 0) return -1;
    if (detail::get_store_key(store, key.data()) != 0) {
      detail::fail(error, Status::internal, "Could not get store key");
      return -1;
    }
    std::vector<std::pair<detail::ValueLocation, std::size_t>> order(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (detail::locate_value(store, names[i], order[i].first, key.data(), error) != 0) {
        error += ": " + names[i];
        return -1;
      }
      order[i].second = i;
    }
    // In file order the reads run forward through the file, which the
    // kernel's read-ahead serves best.
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
      return a.first.offset < b.first.offset;
    });
    for (const auto& [where, i] : order) {
      if (read_whole_value(store, key.data(), where, plain[i], error) != 0) {
        error += ": " + names[i];
        return -1;
      }
    }
    for (std::size_t i = names.size(); i < values.size(); ++i) {
      detail::wipe(values[i].data(), values[i].size());
    }
    values.resize(names.size());
    // What `values` held before ends up in `plain`, which is wiped.
    for (std::size_t i = 0; i < names.size(); ++i) values[i].swap(plain[i]);
    return 0;
  } catch (...) {
    detail::fail_unexpected(error, "get entries");
    return -1;
  }
}

int Store::get_item(const std::string& name, std::string& value,
                    std::string& error) {
  if (!valid_name(name)) {
    detail::fail(error, Status::invalid_argument, "Invalid entry name");
    return -1;
  }
  std::string plain;
  detail::StringWiper wipe_plain(plain);
  try {
    detail::SecretBytes<format::kKeySize> key;
    detail::ValueLocation where;
    if (start_read(*this, name, key.data(), where, error) != 0 ||
        read_whole_value(*this, key.data(), where, plain, error) != 0) {
      return -1;
    }
    value.swap(plain);  // what `value` held before is wiped on the way out
    return 0;
  } catch (...) {
    detail::fail(error, Status::internal,
                 "Unknown exception, could not get entry");
    return -1;
  }
}

int detail::get_item_to_fd(Store& store, const std::string& name, int fd, std::string& error,
                          const Progress& progress) {
  try {
    detail::SecretBytes<format::kKeySize> key;
    detail::ValueLocation where;
    if (start_read(store, name, key.data(), where, error) != 0) return -1;
    auto write_out = writer_to(fd, error);
    return decrypt_value(store, key.data(), where, write_out, progress, error);
  } catch (...) {
    detail::fail(error, Status::internal,
                 "Unknown exception, could not get entry");
    return -1;
  }
}

int detail::get_item_to_stream(Store& store, const std::string& name, int fd, std::string& error) {
  try {
    detail::SecretBytes<format::kKeySize> key;
    detail::ValueLocation where;
    if (start_read(store, name, key.data(), where, error) != 0) return -1;
    auto write_out = writer_to(fd, error);
    if (where.length <= kOnePassLimit) {
      // Small enough to authenticate whole in memory before any byte leaves.
      detail::SecretBuffer plain(where.length);
      std::size_t filled = 0;
      auto keep = [&plain, &filled](const unsigned char* piece, std::size_t size) {
        std::memcpy(plain.data() + filled, piece, size);
        filled += size;
        return true;
      };
      if (decrypt_value(store, key.data(), where, keep, Progress(), error) != 0) {
        return -1;
      }
      return write_out(plain.data(), plain.size()) ? 0 : -1;
    }
    std::vector<PieceDigest> digests;
    if (authenticate_value(store, key.data(), where, &digests, error) != 0) return -1;
    auto same_piece = [&digests, &error](std::size_t piece, const unsigned char* sealed,
                                         std::size_t size) {
      if (piece < digests.size() && digest_of(sealed, size) == digests[piece]) {
        return true;
      }
      detail::fail(
          error, Status::changed,
          "Could not decrypt value cipher");  // changed since it authenticated
      return false;
    };
    return decrypt_value(store, key.data(), where, write_out, Progress(), error,
                         same_piece);
  } catch (...) {
    detail::fail(error, Status::internal,
                 "Unknown exception, could not get entry");
    return -1;
  }
}

}  // namespace kel
