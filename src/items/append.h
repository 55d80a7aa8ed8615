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

namespace kel::detail {

// The checks made before anything is encrypted, in their order: a name
// already stored, the name's length, the value's length.
int check_new_item(Store& store, const std::string& name, std::uint64_t length,
                   std::string& error);
// The same checks but the first, for a record of a rewrite.
int check_name_and_length(const std::string& name, std::uint64_t length,
                          std::string& error);

// Seals `name` into the first `name.size() + 41` bytes of `record` (a whole
// record's buffer or just its fixed part) and sets value_length. The
// value_offset is filled in by begin_append.
int seal_name(Store& store, const unsigned char* key, const std::string& name,
              std::uint32_t value_length, unsigned char* record,
              std::string& error);

// Takes the lock and prepares the file for an append of `name`. Returns the
// append offset R, or -1 with the message (nothing held then).
long begin_append(Store& store, const unsigned char* key,
                  const std::string& name, std::string& error);

// Writes the record's bytes after its first one, at R + 1 + offset.
int write_record_body(Store& store, long record_start, long offset,
                      const unsigned char* data, long size, std::string& error);

// Syncs the body, writes the first byte, syncs again, records the name in
// the index, unlocks.
int finish_append(Store& store, long record_start, const std::string& name,
                  std::uint32_t value_length, unsigned char name_length,
                  std::string& error);

// Cuts the file back to R and unlocks. Keeps the message, unless the cut
// itself fails.
void abort_append(Store& store, long record_start, std::string& error);

}  // namespace kel::detail
