#include "env/env.h"
#include "engine/records/append.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "crypto/primitives.h"
#include "engine/engine.h"
#include "crypto/aead.h"
#include "engine/index/current_file.h"
#include "engine/records/format.h"
#include "engine/records/record_codec.h"
#include "engine/file/io.h"
#include "store/status_note.h"
#include "engine/index/unreadable_names.h"

namespace kel::detail {

int prepare_to_add(Store& store, std::string& error) {
  if (!store.store_opened && open_store_for_lookup(store, error) != 0) return -1;
  // A lock-free look first, so that the checks speak of the store as it
  // is; the duplicate check is made again under the lock, over every name.
  // A failure here is met again there, and reported.
  std::string ignored;
  prepare_to_find(store, ignored);
  return 0;
}

int check_new_item(Store& store, const std::string& name, std::uint64_t length,
                   std::string& error) {
  // A stored name is found without reading past its first record.
  const Item* item = nullptr;
  // A look that cannot tell is no answer: the check under the lock, which
  // every add makes, tells or reports why it cannot.
  std::string ignored;
  if (find_item(store, name, item, nullptr, ignored) == 1) {
    detail::fail(error, Status::exists, "Item exists");
    return -1;
  }
  return check_name_and_length(name, length, error);
}

int check_name_and_length(const std::string& name, std::uint64_t length,
                          std::string& error) {
  if (name.size() > format::kMaxNameLength) {
    detail::fail(error, Status::invalid_argument,
                 "Entry name length must less than 255 characters");
    return -1;
  }
  if (name.empty()) {
    detail::fail(error, Status::invalid_argument, "Invalid entry name");
    return -1;
  }
  if (length > format::kMaxValueLength) {
    detail::fail(error, Status::too_big, "Entry value too big");
    return -1;
  }
  if (length == 0) {
    detail::fail(error, Status::invalid_argument, "Invalid entry value");
    return -1;
  }
  return 0;
}

int seal_name(Store& store, const unsigned char* key, const std::string& name,
              std::uint32_t value_length, unsigned char* record,
              std::string& error, const Binding* binding, long long start,
              const unsigned char* value_tag) {
  const Binding own = binding_of(store);
  if (binding == nullptr) binding = &own;
  const long n = static_cast<long>(name.size());
  codec::put_name_length(record, n);
  unsigned char* nonce = record + codec::name_nonce_at(n);
  if (detail::gen_random(nonce, format::kNonceSize, error) != 0) {
    detail::fail(error, Status::internal, "Could not generate iv");
    return -1;
  }
  if (crypto::seal(reinterpret_cast<const unsigned char*>(name.data()), name.size(), key,
                   nonce, record + codec::name_cipher_at(), record + codec::name_tag_at(n),
                   binding->name_ad(start, value_tag).view()) == -1) {
    detail::fail(error, Status::internal, "Could not encrypt item name");
    return -1;
  }
  codec::put_value_length(record, n, value_length);
  return 0;
}

namespace {

// The file's end, ready for an append: the index describes the file as it
// is under the lock, the name is new, and nothing beyond the last record
// the index knows could hide the new one. Returns the end, or -1.
long prepare_append(Store& store, const unsigned char* key,
                    const std::string& name, std::string& error) {
  // Under the lock the index is brought up to the file as it is, so the
  // duplicate check sees every name any process has added.
  if (refresh_index(store, key, error) != 0 ||
      cut_interrupted_append(store, key, error) != 0) {
    return -1;
  }
  if (store.index.count(name) != 0) {
    detail::fail(error, Status::exists, "Item exists");
    return -1;
  }
  // A record whose name cannot be read may be this name: adding it again
  // would store it twice.
  if (check_absence_known(store, error) != 0) return -1;
  struct stat status {};
  if (detail::env().fstat(store.store_fd, &status) != 0) {
    error = "Could not get current file offset for new entry: " +
            io::error_text(errno);
    return -1;
  }
  // The last record claims bytes the file does not have (a file cut short,
  // a damaged length). A record appended at the end would lie inside that
  // claim, where no reader looks for it.
  if (store.engine->index.index_end > status.st_size) {
    detail::fail(
        error, Status::damaged,
        "Store file is damaged: its last entry runs past the end of the "
        "file; remove that entry first");
    return -1;
  }
  // A damaged value_length, read around, still claims bytes beyond the end:
  // a record appended there could land where that claim ends, and the next
  // scan would take it for part of that value.
  if (store.engine->index.claims_end > status.st_size) {
    detail::fail(
        error, Status::damaged,
        "Store file is damaged: an entry's length reaches past the end of "
        "the file; repair the store first");
    return -1;
  }
  // Anything between the last record the index knows and the end would
  // hide the new record from every reader.
  if (store.engine->index.index_end != status.st_size) {
    detail::fail(
        error, Status::damaged,
        "Could not read store data - the end of the store file could not "
        "be checked");
    return -1;
  }
  return static_cast<long>(status.st_size);
}

}  // namespace

Append::Append(Store& store, const unsigned char* key, const std::string& name,
               const Binding& sealed, std::string& error)
    : store_(store),
      error_(error),
      lock_(store, "Could not obtain file lock to add entry: ", error) {
  if (!lock_.locked()) return;
  start_ = prepare_append(store, key, name, error);
  if (start_ >= 0 && !(binding_of(store) == sealed)) {
    start_ = -1;
    detail::fail(
        error, Status::changed,
        "The store was upgraded while the entry was sealed; add it again");
  }
}

Append::~Append() {
  if (start_ < 0 || finished_) return;
  if (detail::env().ftruncate(store_.store_fd, start_) != 0) {
    error_ = "Could not truncate file: " + io::error_text(errno);
  } else {
    io::sync_data(store_.store_fd);
    remember_indexed_file(store_, start_);
  }
}

int Append::write_body(long offset, const unsigned char* data, long size,
                       std::string& error) {
  if (store_.store_write(store_.store_fd, start_ + 1 + offset, data, size, error) == 0) return 0;
  return note_write_step(WriteStep::append, store_.file_path);
}

int Append::finish(const std::string& name, std::uint32_t value_length,
                   unsigned char name_length, std::string& error) {
  Store& store = store_;
  // The disk may persist writes in any order: the body must be durable
  // before the first byte that makes readers take the record for complete,
  // or a power cut could leave a record that names itself but holds zeros.
  if (io::sync_data(store.store_fd) != 0) {
    error = "Error, could not write to store - " + io::error_text(errno);
    return note_write_step(WriteStep::append, store.file_path);
  }
  if (store.store_write(store.store_fd, start_, &name_length, 1, error) != 0) {
    return note_write_step(WriteStep::append, store.file_path);
  }
  if (io::sync_data(store.store_fd) != 0) {
    error = "Error, could not write to store - " + io::error_text(errno);
    return note_write_step(WriteStep::append, store.file_path);
  }
  finished_ = true;
  const long n = name_length;
  // This append was made on top of a current index, so the index still
  // describes the file; a read right after it need not rescan.
  remember_indexed_file(store,
                        start_ + static_cast<long>(codec::record_size(n, value_length)));
  Item item;
  item.value_length = value_length;
  item.value_offset = codec::value_at(start_, n);
  try {
    store.index.try_emplace(name, std::move(item));
  } catch (...) {
    // The record is stored and durable; without room to note it, the next
    // operation finds it by scanning the file again.
    store.engine->index.indexed_file.valid = false;
  }
  return 0;
}

}  // namespace kel::detail
