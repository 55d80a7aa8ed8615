// The rewrite engine: builds the new store file from a plan and puts it in
// place (promises in rewrite.h).
#include "env/env.h"
#include "engine/records/rewrite.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "crypto/name_open.h"
#include "engine/engine.h"
#include "engine/file/file_copy.h"
#include "engine/keyring/binding.h"
#include "engine/keyring/header_v3.h"
#include "engine/records/append.h"
#include "store/secret.h"
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

// What a rewrite binds its records to: the old file's binding (`from`),
// the new file's (`to`), and the store key, when the new file is format 3:
// every record kept sealed then gets its name sealed anew for its new
// place and generation. `to` is null for formats 1 and 2, whose records
// are copied as they are.
struct Rebinding {
  Store* store = nullptr;
  const unsigned char* key = nullptr;
  Binding from;
  const Binding* to = nullptr;
};

// Seals the name of the record copied to `at` in `out` (from `old_start` of
// the old file) anew for its place in the new file. The name must open
// where it was: a record that does not authenticate is not carried into a
// new generation, where it would pass for one this store wrote there.
int reseal_name(int out, long long at, long long old_start, long n,
                const Rebinding& rebinding, const std::string& damaged, std::string& error) {
  std::vector<unsigned char> fixed(static_cast<std::size_t>(codec::fixed_part_size(n)));
  unsigned char tag[format::kTagSize];
  if (io::pread_full(out, fixed.data(), fixed.size(), at) !=
      static_cast<ssize_t>(fixed.size())) {
    error = "Could not read store data - " + io::error_text(errno);
    return -1;
  }
  const std::uint32_t length = codec::get_value_length(fixed.data(), n);
  if (io::pread_full(out, tag, sizeof tag,
                     codec::value_at(at, n) + codec::value_tag_at(length)) !=
      static_cast<ssize_t>(sizeof tag)) {
    error = "Could not read store data - " + io::error_text(errno);
    return -1;
  }
  NameScratch name;
  name.bytes.resize(static_cast<std::size_t>(n));
  auto* plain = reinterpret_cast<unsigned char*>(name.bytes.data());
  if (!crypto::open_name(rebinding.key, fixed.data() + codec::name_nonce_at(n),
                         fixed.data() + codec::name_tag_at(n),
                         fixed.data() + codec::name_cipher_at(), static_cast<std::size_t>(n),
                         plain, rebinding.from.name_ad(old_start, tag).view())) {
    return detail::fail(error, Status::damaged, damaged);
  }
  if (seal_name(*rebinding.store, rebinding.key, name.bytes, length, fixed.data(), error,
                rebinding.to, at, tag) != 0) {
    return -1;
  }
  codec::put_start(fixed.data(), n, at);
  if (io::pwrite_full(out, fixed.data(), fixed.size(), at) != 0) {
    io::record_error(errno);
    error = "Could not write lower part to tmp store";
    return -1;
  }
  return 0;
}

// Copies one run of old bytes that lie back to back in the old file, then
// sets the value_offset of every whole record in it to its new place (and,
// for a format-3 file, seals its name for that place anew).
int copy_run(int old_fd, int out, const std::vector<const Piece*>& run,
             long long to, const Rebinding& rebinding, const std::string& damaged,
             std::string& error) {
  const long long from = run.front()->from;
  long long length = 0;
  for (const Piece* piece : run) length += piece->size;
  if (copy_failure(copy_range(old_fd, from, length, out, to), from == 0, damaged,
                   error) != 0) {
    return -1;
  }
  long long at = to;
  for (const Piece* piece : run) {
    if (rebinding.to != nullptr && piece->name_length > 0) {
      if (reseal_name(out, at, piece->from, piece->name_length, rebinding, damaged, error) !=
          0) {
        return -1;
      }
    } else if (piece->name_length > 0 && at != piece->from) {
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

// The new file's header: the plan's, or for a format-3 file the old one
// under a fresh generation (every rewrite draws one), or none (the old 132
// bytes are copied).
int new_header(int old_fd, const RewritePlan& plan, std::vector<unsigned char>& header,
               std::string& error) {
  header = plan.header;
  if (!header.empty()) return 0;
  const int read = read_v3_header(old_fd, header, false, error);
  if (read == 1) {
    header.clear();
    return 0;
  }
  return read == 0 ? new_generation(header, error) : -1;
}

// Writes the header and every piece of the plan into `out`.
int write_pieces(Store& store, const unsigned char* key, int old_fd, int out,
                 const RewritePlan& plan, std::string& error) {
  Piece old_header;
  old_header.from = 0;
  old_header.size = format::kHeaderSize;
  std::vector<const Piece*> run{&old_header};
  std::vector<unsigned char> header;
  if (new_header(old_fd, plan, header, error) != 0) return -1;
  Rebinding rebinding;
  Binding target;
  if (!header.empty()) {
    const bool version3 = header.size() >= static_cast<std::size_t>(format::v3::kSlotsOffset) &&
                          is_version3_header(header.data());
    if ((!version3 && header.size() != static_cast<std::size_t>(format::kHeaderSize)) ||
        io::pwrite_full(out, header.data(), header.size(), 0) != 0) {
      error = "Error, could not write to store - " + io::error_text(errno) +
              "Could not write to tmp store";
      return -1;
    }
    run.clear();
    if (version3) {
      target = binding_of_v3(header.data());
      rebinding.store = &store;
      rebinding.key = key;
      rebinding.to = &target;
      if (read_binding(old_fd, rebinding.from) != 0) {
        error = "Could not read store data - " + io::error_text(errno);
        return -1;
      }
    }
  }
  // The writers of new records bind them as this file does.
  struct Target {
    Store& store;
    ~Target() { store.engine->rewrite_target = nullptr; }
  } restore{store};
  store.engine->rewrite_target = rebinding.to;
  long long run_to = 0;
  long long to = header.empty() ? format::kHeaderSize : static_cast<long long>(header.size());
  auto flush = [&]() {
    if (run.empty()) return 0;
    int rc = copy_run(old_fd, out, run, run_to, rebinding, plan.damaged, error);
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
int write_new_copy(Store& store, const StoreWriteLock& lock, const unsigned char* key,
                   const RewritePlan& plan, TemporaryFile& file, std::string& error) {
  if (file.create(lock.target(), store.file_extension) != 0) {
    error = "Could not create tmp file - " + io::error_text(errno);
    return -1;
  }
  if (match_old_file(store.store_fd, file, error) != 0 ||
      write_pieces(store, key, store.store_fd, file.fd(), plan, error) != 0) {
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
  if (write_new_copy(store, lock, key, plan, file, error) != 0) {
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
