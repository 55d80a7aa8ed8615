// The store's one way of changing records that are not at the end of the
// file: write a complete new file beside the old one and put it in place
// with one atomic rename. Removal, replacement, renaming and copying of
// entries, and the mending of a damaged file, are all plans for this engine.
//
// What a rewrite promises, with the write lock held throughout (a
// StoreWriteLock, so no append by another process can fall between reading
// the old file and replacing it):
//   - the old file's bytes are never changed: it is read, then renamed away;
//   - the new file is written under an exclusive, fresh name beside the
//     store (O_CREAT|O_EXCL|O_NOFOLLOW, mode 0600 until its owner and
//     permission bits match the old file's), and synced before it is named;
//   - the old file is kept as the backup by a hard link (a synced copy where
//     links are impossible), made under a temporary name and renamed over any
//     older backup in one step, and the directory is synced: once the new
//     file is at the store's path, even after a power cut, the backup holds
//     the old one;
//   - the new file replaces the old one at the store's path (the target of a
//     symbolic link, never the link) in one rename, and the directory is
//     synced. Every reader, in any process, finds the old file or the new one
//     at the path, never neither; a crash at any point leaves one of the two;
//   - records kept from the old file are copied as sealed bytes (in the
//     kernel where it can), never decrypted; only the value_offset field of a
//     record that moved is rewritten;
//   - on failure nothing is left of the new file, and the store is unchanged.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kel/store.h"
#include "engine/file/io.h"
#include "engine/file/write_lock.h"

namespace kel::detail {

// A file under construction beside another one, created exclusively with
// mode 0600 under a fresh temporary_path name. It is deleted when it goes out
// of scope unless keep() was called (after it was renamed into place).
class TemporaryFile {
 public:
  TemporaryFile() = default;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile();
  // Creates the file beside `beside`. 0, or -1 with errno set.
  int create(const std::string& beside, const std::string& extension);
  const std::string& path() const { return path_; }
  int fd() const { return fd_.get(); }
  void keep() { kept_ = true; }
  void close() { fd_.reset(); }

 private:
  std::string path_;
  io::UniqueFd fd_;
  bool kept_ = false;
};

// Syncs `file`, renames it over `destination` and syncs the directory.
// 0, or -1 with errno set (the temporary file is then still there, to be
// deleted by its owner).
int rename_over(TemporaryFile& file, const std::string& destination);

// Makes `destination` a synced copy of the first `size` bytes of `from`, with
// the permission bits `mode`, through a temporary file beside it renamed
// over it: a planted link or file at `destination` is replaced, never
// followed or written. 0, or -1 with errno set.
int replace_with_copy(int from, off_t size, mode_t mode,
                      const std::string& destination,
                      const std::string& extension);

// Writes one new record into the file being built: its first byte at `at`
// (so its value_offset is `at` + name length + 41). Returns the record's size,
// or -1 with the message in `error`.
using RecordWriter =
    std::function<long long(int fd, long long at, std::string& error)>;

// One piece of the new file, after the header (which is always copied as it
// is). Either bytes of the old file, or a new record.
struct Piece {
  long long from = 0;     // old bytes: where they start in the old file
  long long size = 0;     // and how many
  int name_length = 0;    // a whole old record with this name length, whose
                          // value_offset is set to its new place; 0 for
                          // bytes that stay where they are (nothing moved)
  RecordWriter write;     // set: a new record instead of old bytes
};

// A record of the old file, found by walking the record chain.
struct RecordSpan {
  long long start = 0;
  long long size = 0;          // as far as the file holds it
  int name_length = 0;
  std::uint32_t value_length = 0;
  bool cut_short = false;      // the last record, running past the end
};

// Walks the chain of records from `from` (the first byte of a record) to the
// end of the file, reading only the fixed parts. The last record may run
// past the end of the file (a store cut short): it is listed as cut_short,
// and may only be left out of a new file. Any other break in the chain is
// damage: -1 with `damaged` as the message. A failed read: -1 with "Could
// not read store data - " and the reason.
int list_records(Store& store, long long from, std::vector<RecordSpan>& records,
                 const std::string& damaged, std::string& error);

// What one rewrite changes, and where the old file is kept.
struct RewritePlan {
  std::vector<Piece> pieces;
  // Where the old file is kept; empty: the target followed by ".backup2".
  std::string backup_path;
  // The message when the old file ends before a piece it should hold.
  std::string damaged;
  // When not empty: the new file's header (132 bytes), instead of a copy of
  // the old one's (an upgrade to format 2).
  std::vector<unsigned char> header;
};

// What became of a rewrite.
struct RewriteOutcome {
  std::string backup;     // the backup's path
  bool replaced = false;  // the new file is at the store's path (even when
                          // the call failed afterwards, syncing the directory)
};

// Writes the new file of `plan` and puts it in place of `lock.target()` as
// promised above. Also deletes this store's own temporaries that a killed
// rewrite left (recognised with the plain store `key`). When `outcome.replaced`, the caller reloads the Store (its
// store_fd still reads the old file).
int rewrite_store(Store& store, const StoreWriteLock& lock, const unsigned char* key,
                  const RewritePlan& plan, RewriteOutcome& outcome,
                  std::string& error);

// The common plans: a map from the start of an old record (as the index
// gives it) to what becomes of it: nothing (left out) or a new record in its
// place; and new records after the last one. Checks that every named record
// is one of the file's records. The plan keeps the bytes before the first
// change as they are and walks the records after it.
struct RecordChanges {
  std::map<long long, RecordWriter> changed;  // empty writer: left out
  std::vector<RecordWriter> appended;
  std::vector<unsigned char> header;  // as RewritePlan::header
  std::string backup_path;            // as RewritePlan::backup_path
  // When not null: the new store key every new record is sealed under, and
  // the one the Store holds once the new file is in place (the header above
  // wraps it). Null: the key stays.
  const unsigned char* new_key = nullptr;
};
int plan_changes(Store& store, const RecordChanges& changes,
                 const std::string& damaged, RewritePlan& plan,
                 std::string& error);

// Where the record of the index entry `name` starts.
long long record_start(const std::string& name, const Item& item);

}  // namespace kel::detail
