#include "engine/locked_store.h"

#include <new>

#include "engine/file/locked_memory.h"

namespace kel::detail {

namespace {

template <typename... Args>
Store* construct_locked(const Args&... args) {
  void* memory = allocate_locked(sizeof(Store));
  try {
    return new (memory) Store(args...);
  } catch (...) {
    free_locked(memory, sizeof(Store));
    throw;
  }
}

}  // namespace

Store* new_locked_store() { return construct_locked(); }

Store* new_locked_store(const std::string& name, const std::string& password) {
  return construct_locked(name, password);
}

void delete_locked_store(Store* store) noexcept {
  if (store == nullptr) return;
  store->~Store();
  free_locked(store, sizeof(Store));
}

}  // namespace kel::detail
