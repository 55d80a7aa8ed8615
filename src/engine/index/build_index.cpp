// The index: every record's name decrypted, mapped to where its value lies.
// Damaged records are read around (engine/index/record_scan.h) and noted.
#include <errno.h>
#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "kel/store.h"
#include "env/env.h"
#include "engine/keyring/binding.h"
#include "engine/keyring/header_v3.h"
#include "engine/index/current_file.h"
#include "engine/records/format.h"
#include "engine/keyring/header_reader.h"
#include "engine/index/index_scan.h"
#include "engine/file/io.h"
#include "engine/index/parallel_scan.h"
#include "store/status_note.h"

namespace kel {

namespace detail {

namespace {

constexpr std::size_t kSampleRecords = 1024;
// Below this, a file is scanned faster than threads start.
constexpr off_t kParallelFrom = 256 * 1024;

// Whether the key this open Store holds belongs to a file bound as
// `binding`: the key came with the header its password opened, and every
// new store key (an upgrade, a key rotation) comes with a new identifier.
// A password change keeps both.
bool key_opens(const Store& store, const Binding& binding) {
  const unsigned char* opened = store.engine->keys.verified_header;
  if (is_version3_header(opened)) return binding_of_v3(opened) == binding;
  Binding own;
  own.bound = is_version2_header(opened);
  own.version = own.bound ? 2 : 1;
  if (own.bound) {
    std::memcpy(own.store_id, opened + format::kV2StoreIdOffset, sizeof own.store_id);
  }
  return own == binding;
}

// Format 3 keeps its store_id when a revocation draws a new key, so the
// binding alone cannot tell: the header must still hold a slot under the
// key (the one it was verified with, or one whose MAC holds). A header read
// without a lock may be caught while a password change rewrites it in
// place: a refusal is made sure of under the shared lock.
bool v3_key_opens(Store& store) {
  if (!is_version3_header(store.engine->keys.verified_header)) return true;
  std::vector<unsigned char> header;
  std::string ignored;
  // A file no longer in format 3, or a header that cannot be read, is
  // judged by the binding and by the reads that follow.
  if (read_v3_header(store.store_fd, header, false, ignored) != 0) return true;
  if (v3_key_holds(store, header)) return true;
  if (store.engine->write_locks > 0) return false;
  if (read_v3_header(store.store_fd, header, true, ignored) != 0) return true;
  return v3_key_holds(store, header);
}

}  // namespace

const char* const kKeyChangedSinceOpen =
    "Could not read store: it has a new store key since this Safe opened it (an "
    "upgrade, a key rotation or a revocation elsewhere); open it through a new Safe";

IndexScan::IndexScan(int fd, const struct stat& status, const Binding& binding)
    : fd_(fd), file_(identity_of(status)), records_(fd, status.st_size, nullptr, binding) {}

int begin_index_scan(Store& store, std::string& text) {
  store.engine->index.paused_scan.reset();
  struct stat status {};
  if (detail::env().fstat(store.store_fd, &status) != 0) {
    text = "Error, could not read store entry - " + io::error_text(errno);
    store.engine->index.indexed_file.valid = false;
    return -1;
  }
  // The names are bound to the file's own header: a file put in this one's
  // place (a rewrite, an upgrade to format 2) may differ from the header
  // this Store loaded, and writers seal by what the scan used.
  Binding binding;
  if (read_binding(store.store_fd, binding) != 0) {
    text = "Error, could not read store entry - " + io::error_text(errno);
    store.engine->index.indexed_file.valid = false;
    return -1;
  }
  // A file cut inside its own header (below the records' start its header
  // gives) is damaged, not empty, and not another store. Its own: a grant or
  // revocation elsewhere puts a file with a longer or shorter header in place.
  // (A file too short to tell its format cannot be a whole format-3 header.)
  const long long own_start =
      binding.version == 3 ? binding.records_start : format::v3::kSlotsOffset;
  if (store.store_opened && is_version3_header(store.engine->keys.verified_header) &&
      status.st_size < own_start) {
    store.engine->index.indexed_file.valid = false;
    detail::fail(text, Status::damaged,
                 "Store header damaged: the file ends inside its header");
    return -1;
  }
  if (store.store_opened && (!key_opens(store, binding) || !v3_key_opens(store))) {
    store.engine->index.indexed_file.valid = false;
    detail::fail(text, Status::changed, kKeyChangedSinceOpen);
    return -1;
  }
  if (!binding.same_as(binding_of(store))) {
    // A header is read under the shared lock, unless this Store holds the
    // write lock (an append or a rewrite refreshing its index): then no
    // one can change it, and a shared lock taken on the same descriptor
    // would give the write lock away.
    SharedFileLock lock(store.store_fd, store.engine->write_locks == 0);
    if (read_header_fields(store, store.store_fd, text) != 0) {
      store.engine->index.indexed_file.valid = false;
      return -1;
    }
    binding = binding_of(store);
  }
  // Records appended after this point belong to a later scan: the file's
  // identity taken now will differ from the file's by then.
  store.engine->index.indexed_file = identity_of(status);
  if (status.st_size <= binding.records_start) {
    store.engine->index.index_end = static_cast<long>(binding.records_start);
    store.engine->index.claims_end = static_cast<long>(binding.records_start);
    store.engine->index.unfinished_name_length = 0;
    store.engine->index.damaged.clear();
    return 0;
  }
  store.engine->index.paused_scan = std::make_unique<IndexScan>(store.store_fd, status, binding);
  return 0;
}

namespace {

// Growing the index step by step rehashes it again and again: once enough
// records show how long they are, make room for as many as the file holds
// at that rate. `reached` is where the scan is.
void make_room(Store& store, IndexScan& scan, off_t reached) {
  if (scan.room_made || scan.records_seen < kSampleRecords ||
      reached <= scan.records().binding().records_start) {
    return;
  }
  scan.room_made = true;
  const double per_record =
      static_cast<double>(reached - scan.records().binding().records_start) /
      static_cast<double>(scan.records_seen);
  store.index.reserve(static_cast<std::size_t>(
      static_cast<double>(scan.file().size - scan.records().binding().records_start) /
      per_record * 1.05));
}

// Enters the records a lookup read past, which come before any the scan
// reads next.
void enter_passed(Store& store, IndexScan& scan, off_t reached) {
  if (scan.passed.empty()) return;
  make_room(store, scan, reached);
  scan.passed.enter_into(store.index);
}

}  // namespace

int continue_index_scan(Store& store, const unsigned char* key,
                        const std::string* wanted, std::string& text) {
  if (!store.engine->index.paused_scan) return 0;
  IndexScan& scan = *store.engine->index.paused_scan;
  RecordScan& records = scan.records();
  // Where the scan reads from is not where the Store reads now: the file
  // was replaced (the identity check sends the Store to a rebuild), or the
  // descriptor was. Nothing read that way may enter the index.
  if (scan.fd() != store.store_fd) {
    store.engine->index.paused_scan.reset();
    store.engine->index.indexed_file.valid = false;
    detail::fail(
        text, Status::changed,
        "Error, could not read store entry - the store file was replaced");
    return -1;
  }
  enter_passed(store, scan, records.reached());
  // An earlier lookup read past this name.
  if (wanted != nullptr && store.index.count(*wanted) != 0) return 0;
  // A whole file, on the threads the application allowed.
  if (wanted == nullptr && !records.started() && store.index.empty() &&
      store.engine->scan_threads > 1 && scan.file().size >= kParallelFrom) {
    const int done = index_in_parallel(store, scan, key, store.engine->scan_threads);
    if (done < 0) {
      text = "Error, could not read store entry - " + io::error_text(errno);
      store.engine->index.paused_scan.reset();
      store.engine->index.indexed_file.valid = false;
      return -1;
    }
    if (done == 1) {
      store.engine->index.paused_scan.reset();
      return 0;
    }
  }
  records.set_key(key);
  auto on_record = [&store, &scan, &records, wanted](const ScannedRecord& record,
                                                    const std::string& name) {
    ++scan.records_seen;
    if (wanted != nullptr && name != *wanted) {
      scan.passed.add(name, record.value_offset, record.value_length);
      return;
    }
    if (wanted == nullptr) make_room(store, scan, record.start);  // not for one name
    Item item;
    item.value_offset = record.value_offset;
    item.value_length = record.value_length;
    // The first record of a name wins. None of the records passed before
    // it can have this name: it would have been the one wanted.
    store.index.try_emplace(name, std::move(item));
    if (wanted != nullptr) records.pause();
  };
  auto on_damage = [&scan](const ScannedDamage& damage) {
    scan.damage.push_back({static_cast<long>(damage.offset),
                           static_cast<long>(damage.length)});
  };
  const int result = records.run(on_record, on_damage);
  records.set_key(nullptr);
  if (result != 0) {
    text = "Error, could not read store entry - " + io::error_text(errno);
    store.engine->index.paused_scan.reset();
    store.engine->index.indexed_file.valid = false;
    return -1;
  }
  if (!records.finished()) return 0;
  enter_passed(store, scan, static_cast<off_t>(records.end()));
  timespec_get(&store.index_time, TIME_UTC);
  store.engine->index.indexed_file = scan.file();
  store.engine->index.index_end = static_cast<long>(records.end());
  store.engine->index.claims_end = static_cast<long>(records.claims_end());
  store.engine->index.unfinished_name_length = records.unfinished_name_length();
  store.engine->index.damaged = std::move(scan.damage);
  store.engine->index.paused_scan.reset();
  return 0;
}

}  // namespace detail

int Store::build_index(const unsigned char* key, std::string& text) {
  try {
    if (detail::begin_index_scan(*this, text) != 0) return -1;
    return detail::continue_index_scan(*this, key, nullptr, text);
  } catch (...) {
    engine->index.paused_scan.reset();
    detail::fail(text, Status::internal,
                 "Unknown exception, could not build store index");
    return -1;
  }
}

}  // namespace kel
