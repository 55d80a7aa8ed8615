#include "engine/keyring/binding.h"

#include <cstring>

#include "engine/engine.h"
#include "engine/file/io.h"
#include "engine/keyring/header_v3.h"

namespace kel::detail {

NameAd Binding::name_ad(long long start, const unsigned char* value_tag) const {
  NameAd ad;
  if (!bound) return ad;
  std::memcpy(ad.bytes, store_id, sizeof store_id);
  ad.length = sizeof store_id;
  if (version != 3) return ad;
  std::memcpy(ad.bytes + 16, generation, sizeof generation);
  format::put_i64(ad.bytes + 32, static_cast<std::int64_t>(start - records_start));
  std::memcpy(ad.bytes + 40, value_tag, format::kTagSize);
  ad.length = 56;
  return ad;
}

bool Binding::operator==(const Binding& other) const {
  return bound == other.bound && version == other.version &&
         (!bound || std::memcmp(store_id, other.store_id, sizeof store_id) == 0);
}

bool Binding::same_as(const Binding& other) const {
  return *this == other && records_start == other.records_start &&
         std::memcmp(generation, other.generation, sizeof generation) == 0;
}

Binding binding_of(const Store& store) {
  Binding binding;
  const Keyring& keys = store.engine->keys;
  binding.version = keys.format_version;
  binding.bound = keys.format_version >= 2;
  if (binding.bound) std::memcpy(binding.store_id, keys.store_id, sizeof binding.store_id);
  if (binding.version == 3) {
    std::memcpy(binding.generation, keys.generation, sizeof binding.generation);
    binding.records_start = keys.records_start;
  }
  return binding;
}

Binding binding_of_v3(const unsigned char* header) {
  Binding binding;
  binding.bound = true;
  binding.version = 3;
  std::memcpy(binding.store_id, header + format::v3::kStoreIdOffset, sizeof binding.store_id);
  std::memcpy(binding.generation, header + format::v3::kGenerationOffset,
              sizeof binding.generation);
  binding.records_start = v3_header_length(header);
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
  if (got >= format::v3::kSlotsOffset && is_version3_header(header)) {
    binding = binding_of_v3(header);
    return 0;
  }
  if (got == static_cast<ssize_t>(sizeof header) && is_version2_header(header)) {
    binding.bound = true;
    binding.version = 2;
    std::memcpy(binding.store_id, header + format::kV2StoreIdOffset, sizeof binding.store_id);
  }
  return 0;
}

}  // namespace kel::detail
