#include <climits>

#include "crypto/ossl.h"
#include "store/diagnostic.h"

namespace kel::crypto {

bool cipher_update(EVP_CIPHER_CTX* ctx, unsigned char* out,
                   const unsigned char* in, std::size_t length,
                   std::size_t& written) {
  // Pieces of 1 GiB stay well inside the int the call takes.
  constexpr std::size_t kPiece = std::size_t{1} << 30;
  written = 0;
  std::size_t done = 0;
  do {
    std::size_t piece = length - done < kPiece ? length - done : kPiece;
    int produced = 0;
    if (EVP_CipherUpdate(ctx, out + written, &produced, in + done,
                         static_cast<int>(piece)) != 1) {
      return false;
    }
    written += static_cast<std::size_t>(produced);
    done += piece;
  } while (done < length);
  return true;
}

void print_line(const char* text) { detail::diagnostic(text); }

}  // namespace kel::crypto
