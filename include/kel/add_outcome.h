// What adding many entries at once did with each of them.
#pragma once

namespace kel {

enum class AddOutcome : int {
  skipped = 0,   // the name was stored already and was left as it was
  added = 1,     // the entry is stored under a name that was free
  replaced = 2,  // the stored value was replaced (when replacing was asked)
};

}  // namespace kel
