// Repairing a damaged store: a new file with every record that
// authenticates, written by the rewrite engine (the same way a removal makes
// its new file) under the write lock. Records are copied sealed; only the
// ones whose length byte or value_length was damaged get a fresh fixed part,
// and a value whose name is lost gets a new, sealed name (format 1 only).
#include <errno.h>
#include <sys/stat.h>
#include <time.h>

#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "env/env.h"
#include "crypto/store_key.h"
#include "items/integrity.h"
#include "engine/engine.h"
#include "engine/records/append.h"
#include "kel/store.h"
#include "engine/index/current_file.h"
#include "engine/file/file_copy.h"
#include "engine/records/format.h"
#include "engine/records/record_codec.h"
#include "engine/file/io.h"
#include "engine/index/record_scan.h"
#include "engine/records/rewrite.h"
#include "items/shadowed_record.h"
#include "store/secret.h"
#include "store/status_note.h"
#include "engine/file/write_lock.h"

namespace kel {

namespace {

const char* const kDamaged = "Store file changed during the repair, could not repair it";

// "<path>.damaged-<UTC time>", the name the damaged file is kept under.
std::string backup_name(const std::string& target) {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  return target + ".damaged-" + stamp;
}

// Writes a record whose fixed part is made anew: the old record's sealed
// name (`fixed`, its N + 41 bytes), or a freshly sealed one, with the right
// length byte, value_offset and value_length, followed by the value part
// copied sealed from the old file.
// A format-3 file binds the name to its place and generation: there the
// name (`name`, in plain) is sealed anew for the new file instead.
detail::RecordWriter fresh_record(Store& store, const unsigned char* key, int old_fd,
                                  std::vector<unsigned char> fixed, std::string name,
                                  std::int64_t value_at, std::uint32_t length) {
  return [&store, key, old_fd, fixed = std::move(fixed), name = std::move(name), value_at,
          length](int out, long long at, std::string& error) mutable -> long long {
    const long n = static_cast<long>(fixed.size()) - codec::fixed_part_size(0);
    const detail::Binding* target = store.engine->rewrite_target;
    if (target != nullptr && !name.empty()) {
      unsigned char tag[format::kTagSize];
      if (io::pread_full(old_fd, tag, sizeof tag, value_at + codec::value_tag_at(length)) !=
          static_cast<ssize_t>(sizeof tag)) {
        detail::fail(error, Status::changed, kDamaged);
        return -1;
      }
      if (detail::seal_name(store, key, name, length, fixed.data(), error, target, at, tag) !=
          0) {
        return -1;
      }
    }
    detail::wipe(name.data(), name.size());
    codec::encode_fixed(fixed.data(), n, at, length);
    if (io::pwrite_full(out, fixed.data(), fixed.size(), at) != 0) {
      io::record_error(errno);
      error = "Could not write lower part to tmp store";
      return -1;
    }
    const off_t value_part = static_cast<off_t>(codec::value_part_size(length));
    switch (detail::copy_range(old_fd, value_at, value_part, out,
                               at + static_cast<off_t>(fixed.size()))) {
      case detail::CopyResult::done:
        return codec::record_size(n, length);
      case detail::CopyResult::write_failed:
        io::record_error(errno);
        error = "Could not write lower part to tmp store";
        return -1;
      case detail::CopyResult::short_source:
        detail::fail(error, Status::changed, kDamaged);
        return -1;
      default:
        error = "Could not read store data - " + io::error_text(errno);
        return -1;
    }
  };
}

class RepairPlan {
 public:
  RepairPlan(Store& store, const unsigned char* key, off_t size, IntegrityReport& report)
      : store_(store), key_(key), size_(size), scan_(store.store_fd, size, key, detail::binding_of(store)),
        report_(report) {}

  // Scans the file and plans the new one. -1 with errno on a read error.
  int make(detail::RewritePlan& plan, std::string& error) {
    auto on_record = [&](const detail::ScannedRecord& record, const std::string& name) {
      if (failed_ != 0) return;
      keep_record(record, name, plan);
    };
    auto on_damage = [&](const detail::ScannedDamage& damage) {
      if (failed_ != 0) return;
      report_.damaged.push_back({damage.offset, damage.length, damage.what});
      if (!damage.mended) recover(damage, plan, error);
    };
    if (scan_.run(on_record, on_damage) != 0) failed_ = errno;
    if (failed_ == 0 && scan_.stop() == detail::ScanStop::interrupted_append) {
      report_.unfinished_append = size_ - scan_.end();
    }
    if (failed_ != 0) {
      if (error.empty()) error = "Could not read store data - " + io::error_text(failed_);
      return -1;
    }
    detail::settle_regions(report_.damaged, size_);
    return 0;
  }

 private:
  void keep_record(const detail::ScannedRecord& record, const std::string& name,
                   detail::RewritePlan& plan) {
    // Reads never reach a later record of a name: the new file keeps the
    // first one it keeps, and the damaged file keeps this one. A first
    // record whose value fails is dropped, so a later one that holds is the
    // entry's only intact copy and is kept.
    IntegrityReport::Region shadowed;
    if (kept_names_.count(name) != 0 &&
        detail::shadowed_record(store_, record, name, shadowed)) {
      report_.dropped.push_back("the entry at offset " + std::to_string(record.start) + ": " +
                                shadowed.what);
      detail::add_shadowed(report_.damaged, std::move(shadowed));
      return;
    }
    const int holds =
        scan_.value_authenticates(record.value_offset, record.value_length, name);
    if (holds < 0) {
      failed_ = errno;
      return;
    }
    if (holds == 0) {
      report_.failed_values.push_back(name);
      report_.dropped.push_back("the entry at offset " + std::to_string(record.start) +
                                ": its value does not authenticate");
      return;
    }
    ++report_.intact;
    kept_names_.insert(name);
    const long n = static_cast<long>(record.name_length);
    detail::Piece piece;
    if (record.length_byte_damaged || record.value_length_damaged) {
      std::vector<unsigned char> fixed(static_cast<std::size_t>(codec::fixed_part_size(n)));
      if (io::pread_full(store_.store_fd, fixed.data(), fixed.size(), record.start) !=
          static_cast<ssize_t>(fixed.size())) {
        failed_ = errno != 0 ? errno : EIO;
        return;
      }
      piece.write = fresh_record(store_, key_, store_.store_fd, std::move(fixed), name,
                                 record.value_offset, record.value_length);
    } else {
      piece.from = record.start;
      piece.size = static_cast<long long>(record.end() - record.start);
      piece.name_length = static_cast<int>(n);
    }
    plan.pieces.push_back(std::move(piece));
  }

  // A damaged stretch may be one record whose fixed part failed while its
  // value part is intact: a name length that makes the record end exactly
  // where the stretch does, and a value that authenticates. That value is
  // kept under a new name.
  void recover(const detail::ScannedDamage& damage, detail::RewritePlan& plan,
               std::string& error) {
    const off_t end = damage.offset + damage.length;
    // Format 2 seals a value with its name: one whose name is lost cannot
    // be verified at all. A value that opens without a name there was
    // sealed for a format-1 file under the same key and spliced in, and
    // under a new name it would never open: it is dropped, not kept.
    const long longest = scan_.binding().bound ? 0 : static_cast<long>(format::kMaxNameLength);
    for (long n = 1; n <= longest; ++n) {
      const off_t value_at = damage.offset + codec::fixed_part_size(n);
      unsigned char field[codec::kValueLengthSize];
      if (value_at + codec::value_part_size(0) > end) break;
      if (io::pread_full(store_.store_fd, field, sizeof field,
                         value_at - codec::kValueLengthSize) != static_cast<ssize_t>(sizeof field)) {
        failed_ = errno != 0 ? errno : EIO;
        return;
      }
      const std::uint32_t length = format::get_u32(field);
      if (length == 0 || value_at + codec::value_part_size(length) != end) continue;
      const int holds = scan_.value_authenticates(value_at, length, std::string());
      if (holds < 0) {
        failed_ = errno;
        return;
      }
      if (holds == 1) {
        keep_recovered(damage, value_at, length, plan, error);
        return;
      }
    }
    report_.dropped.push_back("damaged bytes at offset " + std::to_string(damage.offset) +
                              ", " + std::to_string(damage.length) + " bytes: " +
                              damage.what);
  }

  void keep_recovered(const detail::ScannedDamage& damage, off_t value_at,
                      std::uint32_t length, detail::RewritePlan& plan, std::string& error) {
    std::string name = "recovered-" + std::to_string(damage.offset);
    for (int more = 2; store_.index.count(name) != 0; ++more) {
      name = "recovered-" + std::to_string(damage.offset) + "-" + std::to_string(more);
    }
    std::vector<unsigned char> fixed(
        static_cast<std::size_t>(codec::fixed_part_size(static_cast<long>(name.size()))));
    // (Format 1 only: bound to nothing, place or tag.)
    if (detail::seal_name(store_, key_, name, length, fixed.data(), error, nullptr, 0,
                          nullptr) != 0) {
      failed_ = EIO;
      return;
    }
    detail::Piece piece;
    piece.write = fresh_record(store_, key_, store_.store_fd, std::move(fixed), std::string(),
                               value_at, length);
    plan.pieces.push_back(std::move(piece));
    report_.renamed.emplace_back(name, "the name of the record at offset " +
                                           std::to_string(damage.offset));
    ++report_.intact;
  }

  Store& store_;
  const unsigned char* key_;
  off_t size_;
  detail::RecordScan scan_;
  IntegrityReport& report_;
  int failed_ = 0;
  // The names of the records kept so far (the index holds them all alike).
  std::set<std::string> kept_names_;
};

int repair_locked(Store& store, const unsigned char* key, const detail::StoreWriteLock& lock,
                  IntegrityReport& report, std::string& error) {
  if (detail::refresh_index(store, key, error) != 0) return -1;
  struct stat status {};
  if (detail::env().fstat(store.store_fd, &status) != 0) {
    error = "Could not read store data - " + io::error_text(errno);
    return -1;
  }
  detail::RewritePlan plan;
  plan.damaged = kDamaged;
  RepairPlan repair(store, key, status.st_size, report);
  if (repair.make(plan, error) != 0) return -1;
  // An intact store is left as it is; an unfinished append at its end is
  // cut off by the next writer.
  if (report.clean()) return 0;
  // Not one record opens with this key: a repair would keep nothing. That
  // is a key that is not the records' (a slot from before a revocation put
  // back into the header opens one), or a header whose binding broke; either
  // way emptying the store helps no one, and the file stays as it is.
  if (report.intact == 0 && report.renamed.empty() && !report.dropped.empty()) {
    detail::fail(error, Status::damaged,
                 "Could not repair the store: not one entry opens with the key it was "
                 "opened with, so a repair would keep nothing; the file is left as it is");
    return -1;
  }
  plan.backup_path = backup_name(lock.target());
  detail::RewriteOutcome outcome;
  const int rc = detail::rewrite_store(store, lock, key, plan, outcome, error);
  report.rewritten = outcome.replaced;
  report.backup = outcome.backup;
  return rc;
}

}  // namespace

int detail::repair(Store& store, IntegrityReport& report, std::string& error) {
  try {
    report = IntegrityReport();
    if (store.open_store(error) != 0) return -1;
    detail::SecretBytes<format::kKeySize> key;
    if (detail::get_store_key(store, key.data()) != 0) {
      detail::fail(error, Status::internal, "Could not get store key");
      return -1;
    }
    detail::StoreWriteLock lock(store, "Could not obtain file lock to repair the store: ",
                                error);
    if (!lock.locked()) return -1;
    const int rc = repair_locked(store, key.data(), lock, report, error);
    if (report.rewritten) {
      std::string reload_error;
      if (store.reload_store_content(reload_error) != 0) {
        // The repair is done and durable; this Store finds its way back to
        // the file on its next operation.
        store.index.clear();
        store.engine->index.indexed_file.valid = false;
      }
    }
    return rc;
  } catch (...) {
    detail::fail_unexpected(error, "repair the store");
    return -1;
  }
}

}  // namespace kel
