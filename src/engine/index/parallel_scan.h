// Indexing a whole store file on several threads, for callers that asked
// for them (Safe::set_scan_threads). Where each record starts is known only
// from the one before it, but finding that costs a few reads, while opening
// the name costs a cipher run: so one thread walks the records' fixed parts
// in file order, the names are opened in parallel, and the index is filled
// in file order again, so that the first record of a name wins as always.
//
// Only a file of intact records, back to back to its very end, is indexed
// this way; anything else (a name that does not authenticate, a length
// that does not lead to the next record, a zero length byte, a file that
// grows or shrinks under the scan) is left to the one-thread scan, which
// reads around damage. In every case the index comes out as that scan
// builds it.
#pragma once

#include <string>

#include "kel/store.h"
#include "engine/index/index_scan.h"

namespace kel::detail {

// Indexes the file `scan` has not begun reading yet into the Store's index,
// which must be empty, on `threads` threads. 1: done, the index holds every
// record and the scan's results are set (see continue_index_scan). 0: the
// file needs the one-thread scan; the index is empty again. -1: a read
// failed (errno set).
int index_in_parallel(Store& store, IndexScan& scan, const unsigned char* key,
                      unsigned threads);

}  // namespace kel::detail
