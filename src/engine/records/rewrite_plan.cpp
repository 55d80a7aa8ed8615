// Turning "these records go, these change, these are new" into the pieces of
// a new store file.
#include <errno.h>
#include <sys/stat.h>

#include <algorithm>

#include "env/env.h"
#include "engine/keyring/binding.h"
#include "engine/records/format.h"
#include "engine/records/record_codec.h"
#include "engine/records/record_reader.h"
#include "engine/records/rewrite.h"
#include "store/status_note.h"

namespace kel::detail {

namespace {

// Reads `size` bytes at `at`: a failed read is an I/O error, a short one
// means the file is not what its records claim.
int read_exactly(RecordReader& reader, long long at, void* into, std::size_t size,
                 const std::string& damaged, std::string& error) {
  ssize_t got = reader.read(static_cast<off_t>(at), into, size);
  if (got < 0) {
    error = "Could not read store data - " + io::error_text(errno);
    return -1;
  }
  if (static_cast<std::size_t>(got) != size) {
    detail::fail(error, Status::damaged, damaged);
    return -1;
  }
  return 0;
}

}  // namespace

int list_records(Store& store, long long from, std::vector<RecordSpan>& records,
                 const std::string& damaged, std::string& error) {
  struct stat status {};
  if (detail::env().fstat(store.store_fd, &status) != 0) {
    error = "Could not read store data - " + io::error_text(errno);
    return -1;
  }
  const long long file_size = status.st_size;
  RecordReader reader(store.store_fd);
  unsigned char fixed[codec::kMaxFixedPartSize];
  for (long long at = from; at < file_size;) {
    if (read_exactly(reader, at, fixed, 1, damaged, error) != 0) return -1;
    RecordSpan record;
    record.start = at;
    record.name_length = fixed[0];
    const long fixed_size = codec::fixed_part_size(record.name_length);
    if (record.name_length == 0 || at + fixed_size > file_size) {
      detail::fail(error, Status::damaged, damaged);
      return -1;
    }
    if (read_exactly(reader, at, fixed, static_cast<std::size_t>(fixed_size), damaged,
                     error) != 0) {
      return -1;
    }
    record.value_length = codec::get_value_length(fixed, record.name_length);
    record.size = codec::record_size(record.name_length, record.value_length);
    if (at + record.size > file_size) {
      // Only the last record may be cut short, and only by the file's end.
      record.cut_short = true;
      record.size = file_size - at;
    }
    records.push_back(record);
    at += record.size;
  }
  return 0;
}

int plan_changes(Store& store, const RecordChanges& changes, const std::string& damaged,
                 RewritePlan& plan, std::string& error) {
  struct stat status {};
  if (detail::env().fstat(store.store_fd, &status) != 0) {
    error = "Could not read store data - " + io::error_text(errno);
    return -1;
  }
  // A format-3 file's rewrite seals every kept name anew (a new
  // generation): every record is walked, none kept as plain bytes.
  const Binding binding = binding_of(store);
  const long long records_start = binding.records_start;
  long long first = changes.changed.empty() ? status.st_size : changes.changed.begin()->first;
  if (binding.needs_value_tag()) first = records_start;
  if (!changes.appended.empty()) {
    // New records go after the last one, which must then be whole: walk it.
    long long last = records_start;
    for (const auto& [name, item] : store.index) {
      last = std::max(last, record_start(name, item));
    }
    first = std::min(first, last);
  }
  if (first < records_start || first > status.st_size) {
    detail::fail(error, Status::damaged, damaged);
    return -1;
  }
  plan.damaged = damaged;
  plan.header = changes.header;
  plan.backup_path = changes.backup_path;
  if (first > records_start) {
    plan.pieces.push_back({records_start, first - records_start, 0, {}});
  }
  std::vector<RecordSpan> records;
  if (list_records(store, first, records, damaged, error) != 0) return -1;
  std::size_t found = 0;
  for (const RecordSpan& record : records) {
    auto change = changes.changed.find(record.start);
    if (change == changes.changed.end()) {
      if (record.cut_short) {  // kept records must be whole
        detail::fail(error, Status::damaged, damaged);
        return -1;
      }
      plan.pieces.push_back({record.start, record.size, record.name_length, {}});
      continue;
    }
    ++found;
    if (change->second) {
      Piece piece;
      piece.write = change->second;
      plan.pieces.push_back(std::move(piece));
    }
  }
  if (found != changes.changed.size()) {  // a change names no record start
    detail::fail(error, Status::damaged, damaged);
    return -1;
  }
  for (const RecordWriter& write : changes.appended) {
    Piece piece;
    piece.write = write;
    plan.pieces.push_back(std::move(piece));
  }
  return 0;
}

}  // namespace kel::detail
