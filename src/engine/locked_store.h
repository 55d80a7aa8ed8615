// A Safe's Store lives in pages of its own, left out of core dumps and
// locked in memory where the limit allows: it holds the masked store key
// and its masking material. Store itself has no allocation functions, so
// Safe makes and destroys its Store through these two.
#pragma once

#include <string>

#include "kel/store.h"

namespace kel::detail {

// A new Store(name, password) (or Store() without arguments) in locked
// pages. Lets the constructor's exceptions pass, with the pages returned.
Store* new_locked_store();
Store* new_locked_store(const std::string& name, const std::string& password);
// Destroys a Store made by new_locked_store and wipes and returns its
// pages. Null: nothing.
void delete_locked_store(Store* store) noexcept;

}  // namespace kel::detail
