// ChaCha20-Poly1305 over a value that arrives in pieces: one nonce and one tag
// for the whole value, exactly as if it had been sealed in one call. Used to
// import and export values larger than memory should hold. Prints nothing;
// callers report failures in their own words.
#pragma once

#include <cstddef>
#include <string_view>

#include "crypto/ossl.h"

namespace kel::crypto {

class AeadStream {
 public:
  // Starts sealing (encrypt) or opening under a 32-byte key and 12-byte nonce.
  // When opening, `expected_tag` (16 bytes, required) is checked by finish(). May be
  // called again, after finish() or instead of it, to start another value.
  // `ad`: associated data the tag covers too (format 2's bindings), none by
  // default.
  bool begin(const unsigned char* key, const unsigned char* nonce, bool encrypt,
             const unsigned char* expected_tag = nullptr, std::string_view ad = {});
  // Drops the context, and with it the key it holds (freed contexts are
  // cleansed). The next begin() starts afresh.
  void forget() { ctx_.reset(); }
  // Processes the next piece; `out` receives `length` bytes. In place is fine.
  bool update(const unsigned char* in, std::size_t length, unsigned char* out);
  // Ends the value. Sealing writes the 16-byte tag into `tag`; opening returns
  // false unless the tag given to begin() authenticates everything processed.
  bool finish(unsigned char* tag = nullptr);

 private:
  CipherCtxPtr ctx_;
  CipherPtr cipher_;
  bool encrypt_ = true;
};

}  // namespace kel::crypto
