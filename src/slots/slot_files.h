// The files a key slot is opened with: a key file, taken whole as its
// SHA-256, and an identity file (slots/identity_text.h).
#pragma once

#include <string>

namespace kel::detail {

// SHA-256 of the whole content of the key file at `path` into the 32 bytes
// at `hash`: 0, or -1 with caller_file when it cannot be read and
// invalid_argument when it is empty.
int hash_key_file(const std::string& path, unsigned char* hash, std::string& error);

// The whole text of the identity file at `path` into `text` (a secret the
// caller wipes): 0, or -1 with caller_file.
int read_identity_file(const std::string& path, std::string& text, std::string& error);

}  // namespace kel::detail
