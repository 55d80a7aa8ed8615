// Choosing the format of a new store (Safe::create_safe, Safe::upgrade) and
// telling which format a store file has (Safe::format_info).
//
// Format 1 guards the password with a salted SHA3-512 hash: cheap to check,
// so a copied file lets an attacker test millions of guesses a second.
// Format 2 derives the key that unwraps the store key with Argon2id, a
// memory-hard function whose cost is set when the store is created, and
// binds every value to its name and every name to its store. Format 1
// remains the default of the library.
#pragma once

#include <cstdint>

namespace kel {

struct StoreOptions {
  // 1 or 2.
  int format = 1;
  // Argon2id memory in KiB, at least 19 MiB (19456 KiB) and at most 4 GiB;
  // 0: calibrated (at least 64 MiB).
  std::uint32_t kdf_memory_kib = 0;
  // Argon2id passes, 1 to 1024, and memory times passes at most 32 GiB
  // (more than a minute of one core); 0: calibrated so that one derivation
  // takes about kdf_time_ms on this machine, within the same bound.
  std::uint32_t kdf_passes = 0;
  // Argon2id lanes, 1 to 64. The library computes them one after another
  // (it starts no threads), so more lanes cost the user as much as they
  // cost an attacker.
  std::uint32_t kdf_lanes = 1;
  // What calibration aims at: the time of one derivation, in milliseconds.
  std::uint32_t kdf_time_ms = 250;
};

// What the header of a store file says about its format. Reading it needs
// no password.
struct FormatInfo {
  int version = 0;  // 1 or 2
  // Format 2 only (0 for format 1).
  std::uint32_t kdf_memory_kib = 0;
  std::uint32_t kdf_passes = 0;
  std::uint32_t kdf_lanes = 0;
};

}  // namespace kel
