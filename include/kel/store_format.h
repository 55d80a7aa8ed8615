// Choosing the format of a new store (Safe::create_safe, Safe::upgrade) and
// telling which format a store file has (Safe::format_info).
//
// Format 1 guards the password with a salted SHA3-512 hash: cheap to check,
// so a copied file lets an attacker test millions of guesses a second.
// Format 2 derives the key that unwraps the store key with Argon2id, a
// memory-hard function whose cost is set when the store is created, and
// binds every value to its name and every name to its store. Format 3
// holds the store key in key slots and binds every name also to its place
// and to the file's generation, so that records reordered, removed or
// brought from another copy of the store show. Format 1 remains the default
// of the library.
#pragma once

#include <cstdint>

namespace kel {

struct StoreOptions {
  // 1, 2 or 3. Format 3 keeps format 2's key derivation (the parameters
  // below) in a key slot, and makes any reordering, removal or splicing of
  // records evident.
  int format = 1;
  // Argon2id memory in KiB, at least 19 MiB (19456 KiB) and at most 4 GiB;
  // 0: calibrated (64 to 256 MiB).
  std::uint32_t kdf_memory_kib = 0;
  // Argon2id passes, 1 to 1024, and memory times passes at least 19 MiB
  // times 2 (OWASP's minimum; 46 MiB with 1 pass is allowed, 19 MiB with
  // 1 pass is not) and at most 32 GiB (more than a minute of one core);
  // 0: calibrated so that one derivation costs about kdf_time_ms of CPU
  // time on this machine, and never less work than 64 MiB with 3 passes.
  std::uint32_t kdf_passes = 0;
  // Argon2id lanes, 1 to 64; 0 means the default, 4. A Safe computes them
  // on as many threads as Safe::set_kdf_threads allows (the calling thread
  // alone by default): more lanes shorten the user's wait on more cores,
  // never an attacker's work.
  std::uint32_t kdf_lanes = 4;
  // What calibration aims at: the CPU time of one derivation, in
  // milliseconds (0: 500). CPU time, not wall time, so that a busy machine
  // does not make a cheaper store; with four lanes on two threads the user
  // waits about half of it.
  std::uint32_t kdf_time_ms = 500;
};

// What the header of a store file says about its format. Reading it needs
// no password.
struct FormatInfo {
  int version = 0;  // 1, 2 or 3
  // Formats 2 and 3 (format 3: its first password slot's; 0 for format 1).
  std::uint32_t kdf_memory_kib = 0;
  std::uint32_t kdf_passes = 0;
  std::uint32_t kdf_lanes = 0;
};

}  // namespace kel
