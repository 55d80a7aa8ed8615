// The Store object: construction, destruction and the store file's name.
#include <unistd.h>

#include "kel/store.h"
#include "env/env.h"
#include "store/file_names.h"
#include "store/index_scan.h"
#include "store/locked_memory.h"
#include "store/secret.h"

namespace kel {

void* Store::operator new(std::size_t size) { return detail::allocate_locked(size); }

void Store::operator delete(void* memory, std::size_t size) noexcept {
  detail::free_locked(memory, size);
}

Store::Store() = default;

Store::Store(const std::string& name, const std::string& password)
    : password(password) {
  set_file_name(name);
}

Store::~Store() {
  if (store_fd >= 0) detail::env().close(store_fd);
  mem_clear(password.data(), password.size());
  detail::clear_index(index);
  // The masking material alone does not reveal the key, but nothing is
  // gained by leaving it behind in freed memory.
  detail::wipe(memory_key, sizeof memory_key);
  detail::wipe(memory_iv, sizeof memory_iv);
  detail::wipe(masked_store_key, sizeof masked_store_key);
}

void Store::set_file_name(const std::string& name) {
  file_path = detail::path_with_extension(name, file_extension);
}

}  // namespace kel
