// Format 2's header (layout in engine/records/format.h): the Argon2id parameters, the
// wrapping of the store key under the key they derive from the password, and
// the header's own bytes as the associated data of that wrapping.
#pragma once

#include <cstdint>
#include <string>

#include "kel/store.h"
#include "kel/store_format.h"

namespace kel::detail {

struct KdfParams {
  std::uint32_t memory_kib = 0;
  std::uint32_t passes = 0;
  std::uint32_t lanes = 0;
};

// Empty when a store may have `params`; otherwise which bound they break.
std::string kdf_params_problem(const KdfParams& params);

// 0 when a store may have `params`; otherwise -1, and the message names the
// bound that was broken.
int check_kdf_params(const KdfParams& params, std::string& error);

// 0 when the parameters the format-2 `header` holds are within the bounds;
// otherwise -1, and the message says that the header is damaged and which
// bound it breaks. Whoever can write the file sets these: every reader
// checks them before it derives or allocates anything for them.
int check_header_kdf_params(const unsigned char* header, std::string& error);

// Empty when a new store may have `params`; otherwise which bound they
// break: those of kdf_params_problem, and OWASP's minimum for Argon2id
// (19 MiB, and memory times passes at least 19 MiB times 2).
std::string new_kdf_params_problem(const KdfParams& params);

// The parameters for a new format-2 store: those `options` gives, and the
// rest calibrated on this machine so that a derivation costs about
// options.kdf_time_ms of CPU time (500 when 0), four lanes unless given.
// Calibration times one derivation of one lane (64 MiB, 3 passes, or less
// memory when less is given) by the calling thread's CPU clock, so the
// machine's load does not lower the cost, and spends the time on memory
// first (64 to 256 MiB, with 3 passes), then on passes. What it chooses is
// never less work than 64 MiB with 3 passes, and never more than
// format::kMaxKdfWorkKib. Parameters below new_kdf_params_problem's
// minimum are refused (invalid_argument).
int choose_kdf_params(const StoreOptions& options, KdfParams& params,
                      std::string& error);

// Fills the 132 bytes at `header` for `params`: a fresh salt and nonce, the
// identifier `store_id` (a fresh one when null), and `key` wrapped under
// `password`. One derivation, on up to `threads` threads (the Safe's
// Engine::kdf_threads).
int seal_v2_header(const unsigned char* key, const std::string& password,
                   const KdfParams& params, unsigned threads, const unsigned char* store_id,
                   unsigned char* header, std::string& error);

// Unwraps the store key of the format-2 `header` into `key` (32 bytes) with
// `password`: "Invalid password" when it fails to authenticate, which is
// also what a changed parameter, salt or identifier does. One derivation,
// on up to `threads` threads (the Safe's Engine::kdf_threads).
int open_v2_header(const unsigned char* header, const std::string& password,
                   unsigned threads, unsigned char* key, std::string& error);

// Copies the format-2 `header` into the Store's header members.
void load_v2_header(Store& store, const unsigned char* header);

// The Store's format-2 header members as the 132 header bytes.
void encode_v2_header(const Store& store, unsigned char* header);

// The message for a header that begins with the magic number but is of a
// version this library does not read; empty when it is version 2.
std::string unknown_version(const unsigned char* header, const std::string& path);

}  // namespace kel::detail
