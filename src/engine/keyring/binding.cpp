#include "engine/keyring/binding.h"

#include <cstring>

#include "engine/engine.h"
#include "engine/file/io.h"

namespace kel::detail {

bool Binding::operator==(const Binding& other) const {
  return bound == other.bound &&
         (!bound || std::memcmp(store_id, other.store_id, sizeof store_id) == 0);
}

Binding binding_of(const Store& store) {
  Binding binding;
  binding.bound = store.engine->keys.format_version == 2;
  if (binding.bound) std::memcpy(binding.store_id, store.engine->keys.store_id, sizeof binding.store_id);
  return binding;
}

bool is_version2_header(const unsigned char* header) {
  return std::memcmp(header, format::kMagic, sizeof format::kMagic) == 0 &&
         format::get_u32(header + format::kV2VersionOffset) == format::kVersion2;
}

int read_binding(int fd, Binding& binding) {
  unsigned char header[format::kHeaderSize] = {};
  const ssize_t got = io::pread_full(fd, header, sizeof header, 0);
  if (got < 0) return -1;
  binding = Binding();
  if (got == static_cast<ssize_t>(sizeof header) && is_version2_header(header)) {
    binding.bound = true;
    std::memcpy(binding.store_id, header + format::kV2StoreIdOffset, sizeof binding.store_id);
  }
  return 0;
}

}  // namespace kel::detail
