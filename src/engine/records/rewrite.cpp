// The rewrite engine: builds the new store file from a plan and puts it in
// place (promises in rewrite.h).
#include "env/env.h"
#include "engine/records/rewrite.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/file/file_copy.h"
#include "engine/file/file_names.h"
#include "engine/records/format.h"
#include "engine/records/record_codec.h"
#include "engine/file/ownership.h"
#include "engine/records/rewrite_steps.h"
#include "store/status_note.h"

namespace kel::detail {

namespace {

// The message for a failed copy of old bytes into the new file. A failed
// write of the file's head reads as the store's own write failure does.
int copy_failure(CopyResult result, bool head, const std::string& damaged,
                 std::string& error) {
  if (result == CopyResult::done) return 0;
  const std::string system_text = io::error_text(errno);
  switch (result) {
    case CopyResult::write_failed:
      error = head ? "Error, could not write to store - " + system_text +
                         "Could not write to tmp store"
                   : "Could not write lower part to tmp store";
      return -1;
    case CopyResult::short_source:
      detail::fail(error, Status::damaged, damaged);
      return -1;
    default:
      error = "Could not read store data - " + system_text;
      return -1;
  }
}

// The new file gets the old one's permission bits and owner: a rewrite never
// widens who may read the store, nor shuts out anyone who can use it.
int match_old_file(int old_fd, const TemporaryFile& file, std::string& error) {
  struct stat status {};
  if (detail::env().fstat(old_fd, &status) != 0) {
    error = "Could not create tmp file - " + io::error_text(errno);
    return -1;
  }
  return keep_owner_and_mode(file.fd(), status, error);
}

// Copies one run of old bytes that lie back to back in the old file, then
// sets the value_offset of every whole record in it to its new place.
int copy_run(int old_fd, int out, const std::vector<const Piece*>& run,
             long long to, const std::string& damaged, std::string& error) {
  const long long from = run.front()->from;
  long long length = 0;
  for (const Piece* piece : run) length += piece->size;
  if (copy_failure(copy_range(old_fd, from, length, out, to), from == 0, damaged,
                   error) != 0) {
    return -1;
  }
  long long at = to;
  for (const Piece* piece : run) {
    if (piece->name_length > 0 && at != piece->from) {
      unsigned char field[8];
      format::put_i64(field, codec::value_at(at, piece->name_length));
      if (io::pwrite_full(out, field, sizeof field,
                          at + codec::value_offset_at(piece->name_length)) != 0) {
        io::record_error(errno);
        error = "Could not write lower part to tmp store";
        return -1;
      }
    }
    at += piece->size;
  }
  return 0;
}

// Writes the header and every piece of the plan into `out`.
int write_pieces(int old_fd, int out, const RewritePlan& plan, std::string& error) {
  Piece header;
  header.from = 0;
  header.size = format::kHeaderSize;
  std::vector<const Piece*> run{&header};
  if (!plan.header.empty()) {
    if (plan.header.size() != static_cast<std::size_t>(format::kHeaderSize) ||
        io::pwrite_full(out, plan.header.data(), plan.header.size(), 0) != 0) {
      error = "Error, could not write to store - " + io::error_text(errno) +
              "Could not write to tmp store";
      return -1;
    }
    run.clear();
  }
  long long run_to = 0;
  long long to = format::kHeaderSize;
  auto flush = [&]() {
    if (run.empty()) return 0;
    int rc = copy_run(old_fd, out, run, run_to, plan.damaged, error);
    run.clear();
    return rc;
  };
  for (const Piece& piece : plan.pieces) {
    if (piece.write) {
      if (flush() != 0) return -1;
      long long size = piece.write(out, to, error);
      if (size < 0) return -1;
      to += size;
      continue;
    }
    if (!run.empty() && run.back()->from + run.back()->size != piece.from) {
      if (flush() != 0) return -1;
    }
    if (run.empty()) run_to = to;
    run.push_back(&piece);
    to += piece.size;
  }
  return flush();
}

// Creates, fills and syncs the new copy of the store in `file`.
int write_new_copy(Store& store, const StoreWriteLock& lock, const RewritePlan& plan,
                   TemporaryFile& file, std::string& error) {
  if (file.create(lock.target(), store.file_extension) != 0) {
    error = "Could not create tmp file - " + io::error_text(errno);
    return -1;
  }
  if (match_old_file(store.store_fd, file, error) != 0 ||
      write_pieces(store.store_fd, file.fd(), plan, error) != 0) {
    return -1;
  }
  if (io::sync_all(file.fd()) != 0) {
    error = "Error, could not write to store - " + io::error_text(errno);
    error += "Could not write to tmp store";
    return -1;
  }
  return 0;
}

}  // namespace

long long record_start(const std::string& name, const Item& item) {
  return codec::start_of(item.value_offset, static_cast<long>(name.size()));
}

int rewrite_store(Store& store, const StoreWriteLock& lock, const unsigned char* key,
                  const RewritePlan& plan, RewriteOutcome& outcome, std::string& error) {
  outcome.backup =
      plan.backup_path.empty() ? lock.target() + kRemovalBackup : plan.backup_path;
  remove_stale_temporaries(lock, store.store_fd, key, outcome.backup, store.file_extension);
  TemporaryFile file;
  if (write_new_copy(store, lock, plan, file, error) != 0) {
    return note_write_step(WriteStep::new_copy, store.file_path);
  }
  if (keep_backup(lock, store.store_fd, outcome.backup, store.file_extension) != 0) {
    error = "Could not backup current store file - " + io::error_text(errno);
    return note_write_step(WriteStep::keep_backup, outcome.backup);
  }
  if (detail::env().rename(file.path().c_str(), lock.target().c_str()) != 0) {
    error = "Could not rename tmp file - " + io::error_text(errno);
    return note_write_step(WriteStep::put_in_place, store.file_path);
  }
  file.keep();
  outcome.replaced = true;
  // Until the directory is synced the rename may not survive a crash: the
  // old file would come back. That is reported, not passed off as success.
  if (io::sync_parent_directory(lock.target()) != 0) {
    error = "Could not sync store directory - " + io::error_text(errno);
    return note_write_step(WriteStep::sync_folder, store.file_path);
  }
  return 0;
}

}  // namespace kel::detail
