#include "engine/records/record_writers.h"

#include <errno.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "crypto/primitives.h"
#include "crypto/aead_stream.h"
#include "engine/engine.h"
#include "engine/records/append.h"
#include "engine/records/format.h"
#include "engine/records/record_codec.h"
#include "engine/file/io.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel::detail {

namespace {

constexpr std::size_t kPieceSize = 1 << 20;
const char* const kWriteFailed = "Could not write lower part to tmp store";

// Fills `into` with up to `capacity` plain bytes; 0 at the end of the value,
// -1 with the message.
using PlainSource =
    std::function<long long(unsigned char* into, std::size_t capacity, std::string& error)>;

// Seals `name` and the bytes of `next` into a record at `at` of `out`. The
// value's length is known only at the end, so the fixed part goes last.
// `expected`: the value's length when it is known (0 when not), so that a
// small value does not cost buffers of a whole piece.
long long write_sealed(Store& store, const unsigned char* key, const std::string& name,
                       const Binding& binding, const PlainSource& next,
                       std::uint64_t expected, int out, long long at, std::string& error) {
  const long n = static_cast<long>(name.size());
  const long long value_at = codec::value_at(at, n);
  std::vector<unsigned char> fixed(static_cast<std::size_t>(codec::fixed_part_size(n)));
  unsigned char trailer[codec::kValueTrailerSize] = {};
  // The message below names the step; the random source's own text says less.
  std::string ignored;
  crypto::AeadStream sealer;
  if (detail::gen_random(trailer, format::kNonceSize, ignored) != 0) {
    detail::fail(error, Status::internal, "Could not generate item iv");
    return -1;
  }
  if (!sealer.begin(key, trailer, true, nullptr, binding.value_ad(name))) {
    detail::fail(error, Status::internal, "Could not encrypt item value");
    return -1;
  }
  const std::size_t piece_size =
      expected == 0 ? kPieceSize
                    : static_cast<std::size_t>(std::min<std::uint64_t>(kPieceSize, expected));
  SecretBuffer plain(piece_size);
  std::vector<unsigned char> sealed(piece_size);
  std::uint64_t done = 0;
  for (;;) {
    long long got = next(plain.data(), piece_size, error);
    if (got < 0) return -1;
    if (got == 0) break;
    const auto count = static_cast<std::size_t>(got);
    if (done + count > format::kMaxValueLength) {
      detail::fail(error, Status::too_big, "Entry value too big");
      return -1;
    }
    if (!sealer.update(plain.data(), count, sealed.data())) {
      detail::fail(error, Status::internal, "Could not encrypt item value");
      return -1;
    }
    if (io::pwrite_full(out, sealed.data(), count, value_at + static_cast<long long>(done)) != 0) {
      io::record_error(errno);
      error = kWriteFailed;
      return -1;
    }
    done += count;
  }
  if (done == 0) {
    detail::fail(error, Status::invalid_argument, "Invalid entry value");
    return -1;
  }
  if (!sealer.finish(trailer + codec::value_tag_at(0))) {
    detail::fail(error, Status::internal, "Could not encrypt item value");
    return -1;
  }
  const auto length = static_cast<std::uint32_t>(done);
  if (seal_name(store, key, name, length, fixed.data(), error, &binding, at,
                trailer + codec::value_tag_at(0)) != 0) {
    return -1;
  }
  codec::put_start(fixed.data(), n, at);
  if (io::pwrite_full(out, trailer, sizeof trailer, value_at + static_cast<long long>(done)) != 0 ||
      io::pwrite_full(out, fixed.data(), fixed.size(), at) != 0) {
    io::record_error(errno);
    error = kWriteFailed;
    return -1;
  }
  return codec::record_size(n, length);
}

// How the new record is bound: as the file a rewrite is writing, or as
// the Store's file.
Binding binding_for_writes(const Store& store) {
  const Binding* target = store.engine->rewrite_target;
  return target != nullptr ? *target : binding_of(store);
}

}  // namespace

RecordWriter value_writer(Store& store, const unsigned char* key, const std::string& name,
                          const unsigned char* value, unsigned long length) {
  return [&store, key, name, value, length](int out, long long at, std::string& error) {
    unsigned long given = 0;
    return write_sealed(
        store, key, name, binding_for_writes(store),
        [&](unsigned char* into, std::size_t capacity, std::string&) {
          const std::size_t count = std::min<std::size_t>(capacity, length - given);
          if (count > 0) std::memcpy(into, value + given, count);
          given += count;
          return static_cast<long long>(count);
        },
        length, out, at, error);
  };
}

RecordWriter file_writer(Store& store, const unsigned char* key, const std::string& name,
                         int fd, const std::string& path) {
  return [&store, key, name, fd, path](int out, long long at, std::string& error) {
    return write_sealed(
        store, key, name, binding_for_writes(store),
        [&](unsigned char* into, std::size_t capacity, std::string& text) {
          ssize_t got = io::read_full(fd, into, capacity);
          if (got < 0) {
            detail::fail(
                text, Status::caller_file,
                "Could not read file: " + path + " - " + io::error_text(errno));
            return -1LL;
          }
          return static_cast<long long>(got);
        },
        0, out, at, error);
  };
}

RecordWriter resealing_writer(Store& store, const unsigned char* key,
                              const std::string& old_name, const std::string& name,
                              const Item& item, const Binding* target,
                              const unsigned char* seal_key) {
  const long long cipher_at = item.value_offset;
  const std::uint64_t length = item.value_length;
  std::optional<Binding> fixed_target;
  if (target != nullptr) fixed_target = *target;
  if (seal_key == nullptr) seal_key = key;
  return [&store, key, old_name, name, cipher_at, length, fixed_target, seal_key](
             int out, long long at, std::string& error) {
    const Binding source = binding_of(store);
    unsigned char trailer[codec::kValueTrailerSize] = {};
    ssize_t got = io::pread_full(store.store_fd, trailer, sizeof trailer,
                                 cipher_at + static_cast<long long>(length));
    if (got != static_cast<ssize_t>(sizeof trailer)) {
      if (got < 0)
        error = "Could not read store data - " + io::error_text(errno);
      else
        detail::fail(error, Status::damaged, "Could not decrypt value cipher");
      return -1LL;
    }
    crypto::AeadStream opener;
    if (!opener.begin(key, trailer, false, trailer + codec::value_tag_at(0),
                      source.value_ad(old_name))) {
      detail::fail(error, Status::damaged, "Could not decrypt value cipher");
      return -1LL;
    }
    std::uint64_t done = 0;
    std::vector<unsigned char> sealed(kPieceSize);
    return write_sealed(
        store, seal_key, name, fixed_target ? *fixed_target : binding_for_writes(store),
        [&](unsigned char* into, std::size_t capacity, std::string& text) {
          if (done == length) {
            // Nothing of the new record counts unless the old value was
            // authentic, whole.
            if (!opener.finish()) {
              detail::fail(text, Status::damaged,
                           "Could not decrypt value cipher");
              return -1LL;
            }
            return 0LL;
          }
          const std::size_t want =
              static_cast<std::size_t>(std::min<std::uint64_t>(capacity, length - done));
          ssize_t n = io::pread_full(store.store_fd, sealed.data(), want,
                                     cipher_at + static_cast<long long>(done));
          if (n != static_cast<ssize_t>(want)) {
            if (n < 0)
              text = "Could not read store data - " + io::error_text(errno);
            else
              detail::fail(text, Status::damaged,
                           "Could not decrypt value cipher");
            return -1LL;
          }
          if (!opener.update(sealed.data(), want, into)) {
            detail::fail(text, Status::damaged,
                         "Could not decrypt value cipher");
            return -1LL;
          }
          done += want;
          return static_cast<long long>(want);
        },
        length, out, at, error);
  };
}

}  // namespace kel::detail
