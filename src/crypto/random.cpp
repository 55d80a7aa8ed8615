#include <openssl/err.h>
#include <openssl/rand.h>

#include "crypto/primitives.h"
#include "kel/store.h"
#include "store/status_note.h"

namespace kel {

int detail::gen_random(unsigned char* buffer, int count, std::string& error) {
  int rc = RAND_bytes(buffer, count);
  if (rc == 0) {
    detail::fail(error, Status::internal,
                 ERR_error_string(ERR_get_error(), nullptr));
    return -1;
  }
  if (rc == -1) {
    detail::fail(error, Status::internal, "RAND method not support");
    return -1;
  }
  return 0;
}

}  // namespace kel
