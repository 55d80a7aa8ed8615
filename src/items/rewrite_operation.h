// The frame every record-changing operation shares: open the store, take the
// write lock, bring the index up to the file as it is, let the operation
// say what changes, rewrite the file with the engine (engine/records/rewrite.h) and
// read the new file afresh. Nothing is ever added and then removed: each
// operation is one rewrite, so readers see the old state or the new one.
#pragma once

#include <functional>
#include <string>

#include "kel/store.h"
#include "engine/records/rewrite.h"

namespace kel::detail {

// Decides the changes with the lock held and the index current. `key` is the
// plain store key. 0, or -1 with the message (nothing is written then).
using ChangeBuilder =
    std::function<int(const unsigned char* key, RecordChanges& changes,
                      std::string& error)>;

struct RewriteMessages {
  std::string lock;     // prefix of a failed lock, followed by the reason
  std::string damaged;  // the old file is not what its records claim
};

// Runs one operation. `backup` (if given) receives the backup's path.
int run_rewrite(Store& store, const RewriteMessages& messages,
                const ChangeBuilder& build, std::string& error,
                std::string* backup = nullptr);

// The start of the record of `name` in the index, or -1 with
// "Entry not found" when it is absent.
long long find_record(const Store& store, const std::string& name,
                      std::string& error);

}  // namespace kel::detail
