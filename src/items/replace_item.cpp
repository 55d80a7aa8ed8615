// Replacing an item's value (and "set": replace, or add when absent). The
// record is sealed afresh, with new nonces, into the place of the old one in
// one rewrite of the store file, so every reader finds the old value or the
// new one, never no value; a crash leaves one of the two.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "env/env.h"
#include "items/item_writes.h"
#include "engine/records/append.h"
#include "items/from_descriptor.h"
#include "engine/records/record_writers.h"
#include "items/rewrite_operation.h"
#include "kel/store.h"
#include "engine/file/io.h"
#include "store/status_note.h"

namespace kel {

namespace {

const detail::RewriteMessages kReplace{
    "Could not obtain file lock to replace entry: ",
    "Store file is damaged after the entry, could not replace entry"};

// Puts the record that `make` writes in place of `name`'s, or after the last
// record when `name` is absent and `add_if_absent`.
int replace_with(Store& store, const std::string& name, bool add_if_absent,
                 const std::function<detail::RecordWriter(const unsigned char*)>& make,
                 std::string& error) {
  return detail::run_rewrite(
      store, kReplace,
      [&](const unsigned char* key, detail::RecordChanges& changes, std::string& text) {
        auto found = store.index.find(name);
        if (found != store.index.end()) {
          changes.changed[detail::record_start(name, found->second)] = make(key);
        } else if (add_if_absent) {
          changes.appended.push_back(make(key));
        } else {
          detail::fail(text, Status::not_found, "Entry not found");
          return -1;
        }
        return 0;
      },
      error);
}

}  // namespace

int detail::replace_item(Store& store, const std::string& name, const unsigned char* value,
                        unsigned long length, bool add_if_absent, std::string& error) {
  try {
    if (detail::check_name_and_length(name, length, error) != 0) return -1;
    return replace_with(
        store, name, add_if_absent,
        [&](const unsigned char* key) {
          return detail::value_writer(store, key, name, value, length);
        },
        error);
  } catch (...) {
    detail::fail_unexpected(error, "replace entry");
    return -1;
  }
}

int detail::replace_item_from_file(Store& store, const std::string& name, const std::string& file_path,
                                  bool add_if_absent, std::string& error) {
  io::UniqueFd source(io::open_file(file_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!source.valid()) {
    detail::fail(
        error, Status::caller_file,
        "Could not open file: " + file_path + " - " + io::error_text(errno));
    return -1;
  }
  return detail::replace_item_from_descriptor(store, name, source.get(), file_path,
                                              add_if_absent, error);
}

int detail::replace_item_from_descriptor(Store& store, const std::string& name, int fd,
                                         const std::string& label, bool add_if_absent,
                                         std::string& error) {
  // A regular file is read whole, as add_item_from_descriptor reads it.
  struct stat status {};
  if (detail::env().fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && detail::env().lseek(fd, 0, SEEK_SET) != 0) {
    detail::fail(
        error, Status::caller_file,
        "Could not read file: " + label + " - " + io::error_text(errno));
    return -1;
  }
  try {
    // The length is known only once the file was read; the writer checks it.
    if (detail::check_name_and_length(name, 1, error) != 0) return -1;
    return replace_with(
        store, name, add_if_absent,
        [&](const unsigned char* key) {
          return detail::file_writer(store, key, name, fd, label);
        },
        error);
  } catch (...) {
    detail::fail_unexpected(error, "replace entry");
    return -1;
  }
}

}  // namespace kel
