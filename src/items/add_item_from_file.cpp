// Importing a whole file as an item's value. The file is streamed through the
// cipher into the record under the lock, a piece at a time, so memory use
// stays the same whatever the file's size.
//
// A regular file is read up to the size it had when the import began. Any
// other source (a pipe, a FIFO, /dev/stdin, a /proc file that reports no
// size) is read to its end: the record's value_length is written as a
// placeholder, patched once the end is known, and only then is the record's
// first byte written, so a reader never sees a record whose length is wrong.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "crypto/store_key.h"
#include "crypto/primitives.h"
#include "items/item_writes.h"
#include "crypto/aead_stream.h"
#include "env/env.h"
#include "engine/records/append.h"
#include "items/from_descriptor.h"
#include "kel/store.h"
#include "engine/index/current_file.h"
#include "engine/records/format.h"
#include "engine/records/record_codec.h"
#include "engine/file/io.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel {

namespace {

constexpr std::size_t kPieceSize = 1 << 20;

struct Source {
  int fd;
  const std::string& path;
  std::uint32_t size;  // the regular file's size; 0 when read to its end
  bool to_end;
};

// Seals the source's bytes into the appended record, followed by the
// value's nonce and tag, and sets `length` to the number of bytes sealed.
// The plain pieces are wiped as they go.
int stream_value(detail::Append& append, const Source& source, long n,
                 crypto::AeadStream& sealer, const unsigned char* nonce,
                 const Progress& progress, std::uint32_t& length, unsigned char* tag,
                 std::string& error) {
  detail::SecretBuffer plain(kPieceSize);
  std::vector<unsigned char> sealed(kPieceSize);
  const long value_at = codec::fixed_part_size(n) - 1;
  std::uint64_t done = 0;
  for (;;) {
    if (!source.to_end && done == source.size) break;
    std::size_t want = source.to_end ? kPieceSize
                                     : static_cast<std::size_t>(std::min<std::uint64_t>(
                                           kPieceSize, source.size - done));
    ssize_t got = io::read_full(source.fd, plain.data(), want);
    if (got < 0) {
      detail::fail(error, Status::caller_file,
                   "Could not read file: " + source.path + " - " +
                       io::error_text(errno));
      return -1;
    }
    if (source.to_end) {
      if (got == 0) break;
      want = static_cast<std::size_t>(got);
      if (done + want > format::kMaxValueLength) {
        detail::fail(error, Status::too_big, "Entry value too big");
        return -1;
      }
    } else if (static_cast<std::size_t>(got) != want) {  // the file shrank meanwhile
      detail::fail(error, Status::caller_file, "read file error");
      return -1;
    }
    if (!sealer.update(plain.data(), want, sealed.data())) {
      error += "Could not encrypt item value";
      detail::set_status(Status::internal);
      return -1;
    }
    if (append.write_body(value_at + static_cast<long>(done), sealed.data(),
                          static_cast<long>(want), error) != 0) {
      return -1;
    }
    done += want;
    // Of a source read to its end the total is known only at the end.
    if (progress && !source.to_end) progress(done, source.size);
  }
  if (done == 0) {
    detail::fail(error, Status::invalid_argument, "Invalid entry value");
    return -1;
  }
  length = static_cast<std::uint32_t>(done);
  if (progress && source.to_end) progress(done, done);
  unsigned char trailer[codec::kValueTrailerSize];
  std::copy(nonce, nonce + format::kNonceSize, trailer);
  if (!sealer.finish(trailer + codec::value_tag_at(0))) {
    error += "Could not encrypt item value";
    detail::set_status(Status::internal);
    return -1;
  }
  std::copy(trailer + codec::value_tag_at(0), trailer + sizeof trailer, tag);
  return append.write_body(value_at + static_cast<long>(done), trailer,
                           sizeof trailer, error);
}

int import_locked(Store& store, const unsigned char* key, const std::string& name,
                  const Source& source, const Progress& progress,
                  std::string& error) {
  const long n = static_cast<long>(name.size());
  std::vector<unsigned char> fixed(static_cast<std::size_t>(codec::fixed_part_size(n)));
  unsigned char nonce[format::kNonceSize] = {};
  crypto::AeadStream sealer;
  // The message below names the step; the random source's own text says less.
  std::string ignored;
  const detail::Binding binding = detail::binding_of(store);
  if (detail::gen_random(nonce, sizeof nonce, ignored) != 0) {
    detail::fail(error, Status::internal, "Could not generate item iv");
    return -1;
  }
  if (!sealer.begin(key, nonce, true, nullptr, binding.value_ad(name))) {
    error += "Could not encrypt item value";
    detail::set_status(Status::internal);
    return -1;
  }
  detail::Append append(store, key, name, binding, error);
  if (!append.ok()) return -1;
  std::uint32_t length = 0;
  unsigned char tag[format::kTagSize] = {};
  try {
    // The value streams first: the name is bound to its tag (format 3), so
    // the fixed part is sealed and written once the value is done.
    const detail::Binding under_lock = append.binding();
    if (stream_value(append, source, n, sealer, nonce, progress, length, tag, error) != 0 ||
        detail::seal_name(store, key, name, length, fixed.data(), error, &under_lock,
                          append.start(), tag) != 0) {
      return -1;
    }
    codec::put_start(fixed.data(), n, append.start());
    if (append.write_body(0, fixed.data() + 1, static_cast<long>(fixed.size() - 1),
                          error) == 0 &&
        append.finish(name, length, fixed[0], error) == 0) {
      return 0;
    }
  } catch (...) {
    detail::fail(error, Status::internal,
                 "Unknown exception while adding new entry to store.");
  }
  return -1;  // the append is cut back off the file as it goes
}

}  // namespace

int Store::add_item_from_file(const std::string& name, std::string file_path,
                              std::string& error) {
  return detail::add_item_from_file(*this, name, std::move(file_path), error, Progress());
}

int detail::add_item_from_file(Store& store, const std::string& name, std::string file_path,
                              std::string& error, const Progress& progress) {
  io::UniqueFd source(io::open_file(file_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!source.valid()) {
    detail::fail(
        error, Status::caller_file,
        "Could not open file: " + file_path + " - " + io::error_text(errno));
    return -1;
  }
  return detail::add_item_from_descriptor(store, name, source.get(), file_path, error,
                                          progress);
}

int detail::add_item_from_descriptor(Store& store, const std::string& name, int fd,
                                     const std::string& label, std::string& error,
                                     const Progress& progress) {
  // Only a regular file that reports a size is read up to that size; an
  // empty one is refused at once. Everything else is read to its end.
  struct stat status {};
  if (detail::env().fstat(fd, &status) != 0) {
    detail::fail(error, Status::caller_file,
                 "Could not get file size - " + io::error_text(errno));
    return -1;
  }
  off_t size = 0;
  bool to_end = !S_ISREG(status.st_mode) || status.st_size == 0;
  if (!to_end) {
    size = detail::env().lseek(fd, 0, SEEK_END);
    if (size == -1 || detail::env().lseek(fd, 0, SEEK_SET) == -1) {
      detail::fail(error, Status::caller_file,
                   "Could not get file size - " + io::error_text(errno));
      return -1;
    }
  }
  try {
    if (detail::prepare_to_add(store, error) != 0) return -1;
    // A source read to its end has its length checked as it streams.
    if (detail::check_new_item(store, name, to_end ? 1 : static_cast<std::uint64_t>(size),
                               error) != 0) {
      return -1;
    }
    detail::SecretBytes<format::kKeySize> key;
    if (detail::get_store_key(store, key.data()) != 0) {
      detail::fail(error, Status::internal, "Could not get store key");
      return -1;
    }
    Source from{fd, label, static_cast<std::uint32_t>(size), to_end};
    return import_locked(store, key.data(), name, from, progress, error);
  } catch (...) {
    detail::fail(error, Status::internal,
                 "Unknown exception while adding new entry to store.");
    return -1;
  }
}

}  // namespace kel
