#include "crypto/wipe.h"
#include "kel/store.h"

namespace kel {

// Zeros, then 0x01 bytes and zeros again: three passes, each kept by the
// one wipe.
void Store::mem_clear(void* buffer, unsigned long length) {
  detail::wipe(buffer, length);
  detail::wipe(buffer, length, 0x01);
}

}  // namespace kel
