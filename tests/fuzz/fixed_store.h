// The fixed store that the fuzz target and its seed generator share: one
// password, one salt, one store key and one nonce, so that a records region
// written once (a seed) is readable under the header that every fuzz run
// puts in front of its input.
#pragma once

#include <string>

namespace kel::fuzz {

inline const std::string kPassword = "Fuzzing-Store-Pass-42!";

// The 132-byte header that wraps the fixed store key under kPassword.
const std::string& fixed_header();

// The fixed store key (32 bytes).
const unsigned char* fixed_store_key();

// A private directory for the files of one process, on a memory file system
// when there is one (the library syncs every write); removed at exit.
const std::string& scratch_dir();

// Removes every file in the scratch directory.
void clear_scratch();

}  // namespace kel::fuzz
