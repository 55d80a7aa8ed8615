#include <cstring>

#include "kel/store.h"
#include "store/secret.h"

namespace kel {

namespace {

// The empty asm takes the buffer as input and clobbers memory, so the
// compiler must assume the bytes are read afterwards and keep every store
// before it, even when the buffer is freed right after.
inline void keep_stores(void* buffer) { asm volatile("" : : "r"(buffer) : "memory"); }

}  // namespace

namespace detail {

// One pass of zeros is enough to take a secret out of memory; large values
// are wiped this way so that reading a big value does not cost three passes.
void wipe(void* buffer, std::size_t length) {
  if (buffer == nullptr || length == 0) return;
  std::memset(buffer, 0x00, length);
  keep_stores(buffer);
}

void mem_clear(void* buffer, unsigned long length) {
  if (buffer == nullptr) return;
  std::memset(buffer, 0x00, length);
  std::memset(buffer, 0x01, length);
  std::memset(buffer, 0x00, length);
  keep_stores(buffer);
}

}  // namespace detail

void Store::mem_clear(void* buffer, unsigned long length) { detail::mem_clear(buffer, length); }

}  // namespace kel
