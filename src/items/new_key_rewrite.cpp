#include "items/new_key_rewrite.h"

#include <errno.h>

#include <cstring>
#include <vector>

#include "engine/engine.h"
#include "engine/file/io.h"
#include "engine/keyring/binding.h"
#include "engine/keyring/header_v3.h"
#include "engine/records/format.h"
#include "engine/records/record_writers.h"
#include "store/status_note.h"

namespace kel::detail {

namespace {

// With the write lock held: whether the file's header is still `opened`.
int header_unchanged(Store& store, const NewKeyRewrite& rewrite, std::string& error) {
  if (rewrite.format_version == 3) {
    // A rewrite elsewhere draws a new generation; the slots must be the
    // ones the password opened.
    std::vector<unsigned char> now;
    const int read = read_v3_header(store.store_fd, now, false, error);
    if (read < 0) return -1;
    if (read == 1 || !still_version3_header(store, now, error)) {
      fail(error, Status::changed, rewrite.changed_meanwhile);
      return -1;
    }
    return 0;
  }
  unsigned char now[format::kHeaderSize];
  const ssize_t got = io::pread_full(store.store_fd, now, sizeof now, 0);
  if (got < 0) {
    error = "Could not read store header - " + io::error_text(errno);
    return -1;
  }
  if (got != static_cast<ssize_t>(sizeof now) ||
      std::memcmp(now, rewrite.opened, sizeof now) != 0) {
    fail(error, Status::changed, rewrite.changed_meanwhile);
    return -1;
  }
  return 0;
}

int reseal_every_record(Store& store, const unsigned char* key, const unsigned char* new_key,
                        const Binding& target, const std::string& damaged,
                        RecordChanges& changes, std::string& text) {
  for (const auto& [name, item] : store.index) {
    changes.changed[record_start(name, item)] =
        resealing_writer(store, key, name, name, item, &target, new_key);
  }
  std::vector<RecordSpan> records;
  if (list_records(store, binding_of(store).records_start, records, damaged, text) != 0) {
    return -1;
  }
  for (const RecordSpan& record : records) {
    changes.changed.try_emplace(record.start, RecordWriter());
  }
  return 0;
}

}  // namespace

int rewrite_under_new_key(Store& store, const NewKeyRewrite& rewrite, std::string& text) {
  Binding target;
  std::vector<unsigned char> header = rewrite.header;
  return run_rewrite(
      store, rewrite.messages,
      [&](const unsigned char* key, RecordChanges& changes, std::string& error) {
        // Another process may have rewritten it while the key was wrapped.
        if (store.engine->keys.format_version != rewrite.format_version) {
          fail(error, rewrite.other_format_status, rewrite.other_format);
          return -1;
        }
        if ((rewrite.make_header ? rewrite.make_header(key, header, error)
                                 : header_unchanged(store, rewrite, error)) != 0) {
          return -1;
        }
        if (is_version3_header(header.data())) {
          target = binding_of_v3(header.data());
        } else {
          target = Binding();
          target.bound = true;
          target.version = 2;
          std::memcpy(target.store_id, header.data() + format::kV2StoreIdOffset,
                      sizeof target.store_id);
        }
        if (reseal_every_record(store, key, rewrite.new_key, target, rewrite.messages.damaged,
                                changes, error) != 0) {
          return -1;
        }
        changes.header = header;
        changes.new_key = rewrite.new_key;
        changes.backup_path = rewrite.backup_path;
        return 0;
      },
      text);
}

}  // namespace kel::detail
