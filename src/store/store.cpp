// The Store object: construction, destruction and the store file's name.
#include <unistd.h>

#include "kel/store.h"
#include "env/env.h"
#include "engine/file/file_names.h"
#include "engine/index/index_scan.h"
#include "engine/engine.h"
#include "store/secret.h"

namespace kel {

// The engine state is made last, so that nothing made before it can throw
// and leave it behind.
Store::Store() : engine(new detail::Engine) {}

Store::Store(const std::string& name, const std::string& password)
    : password(password), engine(nullptr) {
  set_file_name(name);
  engine = new detail::Engine;
}

Store::~Store() {
  if (store_fd >= 0) detail::env().close(store_fd);
  mem_clear(password.data(), password.size());
  detail::clear_index(index);
  delete engine;
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
