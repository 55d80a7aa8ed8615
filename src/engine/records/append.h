// Appending one item record to the store file, shared by adding a value from
// memory and importing one from a file.
//
// An append runs under the whole-file write lock, on the file that is at the
// store's path at that moment, with an index refreshed under the lock (so a
// name another process just added is a duplicate, and a removal elsewhere is
// followed). The record's body is synced before its first byte is written,
// and that byte is synced before the lock goes: a process killed or a power
// cut mid-append leaves a tail starting with a zero byte, which readers stop
// at and the next writer cuts off.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kel/store.h"
#include "engine/keyring/binding.h"
#include "engine/index/current_file.h"

namespace kel::detail {

// What an add does first: the store opened (without reading its records
// yet) and followed to the file at file_path. -1 only when it cannot be
// opened; the rest is checked again under the lock.
int prepare_to_add(Store& store, std::string& error);

// The checks made before anything is encrypted, in their order: a name
// already stored, the name's length, the value's length.
int check_new_item(Store& store, const std::string& name, std::uint64_t length,
                   std::string& error);
// The same checks but the first, for a record of a rewrite.
int check_name_and_length(const std::string& name, std::uint64_t length,
                          std::string& error);

// Seals `name` into the first `name.size() + 41` bytes of `record` (a whole
// record's buffer or just its fixed part) and sets value_length. The
// value_offset is filled in once the append knows where the record starts.
// The name is bound as `binding` says (by default, as the Store's file), for
// a record at `start` whose value's tag is `value_tag` (format 3 binds
// both): so a name is sealed after its value, once its place is known.
int seal_name(Store& store, const unsigned char* key, const std::string& name,
              std::uint32_t value_length, unsigned char* record,
              std::string& error, const Binding* binding, long long start,
              const unsigned char* value_tag);

// One record being appended at the end of the store file. The write lock
// is held from construction to destruction, and an append not finished by
// then is cut back off the file: no path out, an exception's included,
// leaves a partial record behind a lock that is still held.
class Append {
 public:
  // Takes the lock and prepares the file for an append of `name`, sealed
  // as `sealed` binds it. On failure ok() is false, `error` says why, and
  // nothing is held; that includes a file whose binding is no longer
  // `sealed` (upgraded meanwhile), where the record would not authenticate.
  Append(Store& store, const unsigned char* key, const std::string& name,
         const Binding& sealed, std::string& error);
  Append(const Append&) = delete;
  Append& operator=(const Append&) = delete;
  // Unless finish() succeeded: cuts the file back to start() and keeps the
  // message in `error`, unless the cut itself fails.
  ~Append();

  bool ok() const { return start_ >= 0; }
  // The record's offset R in the file.
  long start() const { return start_; }
  // How the file under the lock binds its records: what the record's name
  // is sealed with (its generation may be newer than the one `sealed`
  // named, after a rewrite elsewhere).
  Binding binding() const { return binding_of(store_); }

  // Writes the record's bytes after its first one, at R + 1 + offset.
  int write_body(long offset, const unsigned char* data, long size,
                 std::string& error);

  // Syncs the body, writes the first byte, syncs again and records the name
  // in the index. The lock goes with this object.
  int finish(const std::string& name, std::uint32_t value_length,
             unsigned char name_length, std::string& error);

 private:
  Store& store_;
  std::string& error_;
  CurrentStoreLock lock_;
  long start_ = -1;
  bool finished_ = false;
};

}  // namespace kel::detail
