#include "crypto/wipe.h"
#include "kel/store.h"
#include "store/secret.h"

namespace kel {

namespace detail {

// Zeros, then 0x01 bytes and zeros again: three passes, each kept by the
// one wipe.
void mem_clear(void* buffer, unsigned long length) {
  wipe(buffer, length);
  wipe(buffer, length, 0x01);
}

}  // namespace detail

void Store::mem_clear(void* buffer, unsigned long length) { detail::mem_clear(buffer, length); }

}  // namespace kel
