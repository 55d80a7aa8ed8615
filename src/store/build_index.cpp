// The index: every record's name decrypted, mapped to where its value lies.
#include <errno.h>
#include <sys/stat.h>

#include <ctime>
#include <string>
#include <vector>

#include "kel/store.h"
#include "store/current_file.h"
#include "store/format.h"
#include "store/io.h"
#include "store/secret.h"
#include "store/record_reader.h"

namespace kel {

namespace {

const char* const kReadError = "Error, could not read store entry - ";
const char* const kNameError = "Could not decrypt item name cipher";

bool grew_past(int fd, off_t end) {
  struct stat now {};
  return ::fstat(fd, &now) == 0 && now.st_size >= end;
}

}  // namespace

int Store::build_index(const unsigned char* key, std::string& text) {
  try {
    struct stat status {};
    if (::fstat(store_fd, &status) != 0) {
      text = kReadError + io::error_text(errno);
      return -1;
    }
    // Records appended after this point belong to a later scan: the file's
    // identity taken now will differ from the file's by then.
    const off_t size = status.st_size;
    if (size <= format::kHeaderSize) {
      indexed_file = detail::identity_of(status);
      index_end = format::kHeaderSize;
      return 0;
    }
    detail::RecordReader reader(store_fd);
    std::vector<unsigned char> fixed;
    std::string name;
    name.reserve(format::kMaxNameLength);  // never reallocated, wiped once
    detail::StringWiper wipe_name(name);
    off_t position = format::kHeaderSize;
    while (position < size) {
      unsigned char name_length = 0;
      ssize_t got = reader.read(position, &name_length, 1);
      if (got < 0) {
        text = kReadError + io::error_text(errno);
        return -1;
      }
      // A record whose first byte is zero is an append that never finished:
      // appends write that byte last. Nothing follows it.
      if (got == 0 || name_length == 0) break;
      const long n = name_length;
      const long rest = format::fixed_part_size(n) - 1;
      if (position + 1 + rest > size) {
        // An append that another process finished after the size was taken
        // is newer than this scan, not damage: stop before it. The grown
        // file tells the next change check to look again.
        if (grew_past(store_fd, position + 1 + rest)) break;
        // A fixed part that runs past the end cannot authenticate; say so
        // before reading (or allocating for) anything.
        text = kNameError;
        return -1;
      }
      fixed.assign(static_cast<std::size_t>(rest), 0);
      if (reader.read(position + 1, fixed.data(), fixed.size()) < 0) {
        text = kReadError + io::error_text(errno);
        return -1;
      }
      // Offsets within `fixed`, which starts one byte into the record.
      const unsigned char* cipher = fixed.data();
      const unsigned char* nonce = fixed.data() + format::name_nonce_at(n) - 1;
      const unsigned char* tag = fixed.data() + format::name_tag_at(n) - 1;
      name.assign(static_cast<std::size_t>(n), '\0');
      if (decrypt_chacha20_poly1305(
              cipher, static_cast<unsigned long>(n), key, nonce,
              reinterpret_cast<unsigned char*>(name.data()), tag) == -1) {
        text = kNameError;
        return -1;
      }
      Item item;
      item.value_offset =
          format::get_i64(fixed.data() + format::value_offset_at(n) - 1);
      item.value_length =
          format::get_u32(fixed.data() + format::value_length_at(n) - 1);
      position += format::record_size(n, item.value_length);
      // The first record of a name wins.
      index.try_emplace(name, std::move(item));
    }
    timespec_get(&index_time, TIME_UTC);
    indexed_file = detail::identity_of(status);
    index_end = position;
    return 0;
  } catch (...) {
    text = "Unknown exception, could not build store index";
    return -1;
  }
}

}  // namespace kel
