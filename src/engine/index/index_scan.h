// Building the index in steps. A one-name lookup needs the index only as
// far as the first record of that name: names are unique and the first
// record of a name wins, so every name the scan has entered is final. The
// scan then waits in the Store (Store::paused_scan) until a lookup of a
// name it has not reached yet, or an operation that needs every name,
// runs it on. A scan always reads the file whose identity it began with.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "kel/store.h"
#include "engine/index/passed_records.h"
#include "engine/index/record_scan.h"

namespace kel::detail {

class IndexScan {
 public:
  IndexScan(int fd, const struct stat& status, const Binding& binding);
  IndexScan(const IndexScan&) = delete;
  IndexScan& operator=(const IndexScan&) = delete;

  int fd() const { return fd_; }
  const detail::FileIdentity& file() const { return file_; }
  RecordScan& records() { return records_; }
  // The damage found so far, in file order.
  std::vector<detail::DamagedRegion> damage;
  // Records a lookup read past and did not enter into the index yet.
  PassedRecords passed;
  // Records handed on so far, and whether the index was given room for
  // the whole file yet.
  std::size_t records_seen = 0;
  bool room_made = false;

 private:
  int fd_;
  detail::FileIdentity file_;
  RecordScan records_;
};

// Starts indexing store_fd as it is now, into the index as it is (callers
// empty it first where they need to). indexed_file names the file from
// here on; the other scan results keep describing the last complete scan
// until this one completes. A file with no records completes at once.
// An open Store whose file now has another store key than the one it holds
// (an upgrade or key rotation elsewhere put a new file in place) is refused
// with kKeyChangedSinceOpen and Status::changed: its key would read every
// record as damaged, and seal new ones nobody else can read.
int begin_index_scan(Store& store, std::string& text);
extern const char* const kKeyChangedSinceOpen;

// Runs the paused scan on under the plain store `key`: until `wanted` (when
// not null) is in the index, or to the end of the file, where the scan's
// results (index_time, index_end, damaged, claims_end,
// unfinished_name_length) are set and the scan is released. Nothing paused:
// 0 at once. A lookup keeps the records before its name out of the index
// (IndexScan::passed); they enter it, in file order, the next time the
// scan runs on, and before it completes. On -1 the scan is released and
// indexed_file marked invalid, so that the next operation builds the index
// anew.
int continue_index_scan(Store& store, const unsigned char* key,
                        const std::string* wanted, std::string& text);

}  // namespace kel::detail
