#include <cstring>

#include "kel/store.h"
#include "store/secret.h"

namespace kel {

namespace detail {

void wipe(void* buffer, std::size_t length) {
  if (buffer == nullptr || length == 0) return;
  std::memset(buffer, 0x00, length);
  std::memset(buffer, 0x01, length);
  std::memset(buffer, 0x00, length);
  // The empty asm takes the buffer as input and clobbers memory, so the
  // compiler must assume the bytes are read afterwards and keep every pass.
  asm volatile("" : : "r"(buffer) : "memory");
}

}  // namespace detail

void Store::mem_clear(void* buffer, unsigned long length) {
  detail::wipe(buffer, length);
}

}  // namespace kel
