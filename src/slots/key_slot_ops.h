// The key-slot operations on a format-3 store (kel/key_slots.h): listing,
// granting a slot (one rewrite of the header under the same key) and
// revoking one (one rewrite under a new key, the store_id kept), and the
// header a new key gets when slots are kept.
//
// Every rewrite builds its new header under the write lock from the header
// the file has then, so a slot granted elsewhere meanwhile is kept, never
// lost. Slots whose MAC does not hold under the store key (damaged, or
// copied from elsewhere) are dropped by every rewrite of the header.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "kel/key_slots.h"
#include "kel/store.h"

namespace kel::detail {

int list_slots(Store& store, std::vector<SlotInfo>& slots, std::string& error);

// Makes the new slot for the store key `key` of the store `store_id`.
using SlotMaker = std::function<int(const unsigned char* key, const unsigned char* store_id,
                                    std::vector<unsigned char>& slot, std::string& error)>;

// Adds the slot `make` makes. `recipient` (when not null) is the public
// key of a recipient slot: exists when an intact slot has it already.
int grant_slot(Store& store, const SlotMaker& make, const unsigned char* recipient,
               std::string& error);

int revoke_slot(Store& store, std::size_t index, std::string& error);

// The new header of `current` for `new_key`: a new generation, the same
// store_id, every slot whose MAC holds under `old_key` wrapped anew, but
// for slot `replaced`, which `replacement` takes the place of (dropped when
// null). invalid_argument when no slot would be left.
int rekey_v3_header(const std::vector<unsigned char>& current, const unsigned char* old_key,
                    const unsigned char* new_key, std::size_t replaced,
                    const std::vector<unsigned char>* replacement,
                    std::vector<unsigned char>& out, std::string& error);

}  // namespace kel::detail
