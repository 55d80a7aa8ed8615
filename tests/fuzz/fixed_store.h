// The fixed store that the fuzz target and its seed generator share: one
// password, one salt, one store key and one nonce, so that a records region
// written once (a seed) is readable under the header that every fuzz run
// puts in front of its input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kel::fuzz {

inline const std::string kPassword = "Fuzzing-Store-Pass-42!";

// The 132-byte header that wraps the fixed store key under kPassword.
const std::string& fixed_header();

// The fixed store key (32 bytes).
const unsigned char* fixed_store_key();

// A record under the fixed key at file offset `start`, with the given
// 12-byte nonces, so that it comes out the same on every run.
std::string fixed_record(std::size_t start, const std::string& name,
                         const std::string& value, const unsigned char* name_nonce12,
                         const unsigned char* value_nonce12);

// A private directory for the files of one process, on a memory file system
// when there is one (the library syncs every write); removed at exit.
const std::string& scratch_dir();

// Removes every file in the scratch directory.
void clear_scratch();

// The records region a fuzz input stands for. The first byte picks the form:
//   1: the rest describes records, which are sealed under the fixed key so
//      that their names authenticate, and then damaged as the input says: a
//      byte that cuts that many bytes off the end, then per record
//      name_length, name, value_length - 1 (2 bytes), fill, damage, amount
//      (4 bytes); see fixed_store.cpp for the kinds of damage;
//   anything else: the rest is the records region, byte for byte.
std::string records_from_input(const unsigned char* data, std::size_t size);

// A description (form 1) of one record, for the seed generator.
struct RecordShape {
  std::string name;        // 1..255 bytes
  std::uint16_t value_length = 1;
  unsigned char fill = 0;  // value byte i is fill ^ i
  unsigned char damage = 0;  // kind of damage, see fixed_store.cpp
  std::int32_t amount = 0;
};
std::string describe(const std::vector<RecordShape>& records, unsigned char cut);

}  // namespace kel::fuzz
