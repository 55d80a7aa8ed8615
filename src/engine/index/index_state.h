// What the index knows beyond its names: how far the last complete scan
// read, what it could not read, and the scan that a one-name lookup left
// paused. Kept as one object so that a failed rebuild can put the previous
// state back in one move.
#pragma once

#include <memory>
#include <vector>

#include "engine/file/file_identity.h"

namespace kel::detail {

class IndexScan;

// A stretch of the store file that holds no intact record.
struct DamagedRegion {
  long offset = 0;
  long length = 0;
};

struct IndexState {
  IndexState();
  IndexState(IndexState&&) noexcept;
  IndexState& operator=(IndexState&&) noexcept;
  ~IndexState();

  // Set while the store's index is partial: a lookup of one name (get,
  // exists, an add's duplicate check) read the records only as far as that
  // name's first record, which wins, so every name in the index is final.
  // The next lookup of a name not reached yet, and every operation that
  // needs all names (listing, writing, checking), runs the scan on. While
  // it is set, the store's index_time and index_end, damaged, claims_end
  // and unfinished_name_length still describe the last complete scan, and
  // indexed_file the file this scan reads.
  std::unique_ptr<IndexScan> paused_scan;
  // The file the index was built (or is being built) from; compared by
  // Store::is_store_changed.
  FileIdentity indexed_file;
  // Offset just past the last complete record the last full scan read.
  long index_end = 0;
  // What the last complete scan could not read as records, in file order.
  // The records around it are indexed; writers never cut it off.
  std::vector<DamagedRegion> damaged;
  // The furthest end any indexed record's own value_length claims, damaged
  // lengths included. Past the end of the file, an append would grow the
  // file into that claim, where the record could be taken for its value.
  long claims_end = 0;
  // The name length of the whole record that ends the file at index_end
  // with its first byte still zero (an append that died between syncing
  // its body and writing that byte), or 0 when there is none.
  unsigned unfinished_name_length = 0;
};

}  // namespace kel::detail
