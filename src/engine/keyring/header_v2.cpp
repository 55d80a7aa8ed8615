#include "engine/keyring/header_v2.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>

#include "crypto/primitives.h"
#include "engine/engine.h"
#include "crypto/aead.h"
#include "crypto/argon2id.h"
#include "crypto/aead_stream.h"
#include "engine/keyring/binding.h"
#include "engine/records/format.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel::detail {

namespace {

constexpr std::uint32_t kMib = 1024;
// The floor of calibration: whatever this machine measures, a calibrated
// store costs at least 64 MiB times three passes (RFC 9106's second
// recommended option), so that a busy or slow machine at creation never
// leaves a store cheap to guess for good.
constexpr std::uint32_t kFloorMemoryKib = 64 * kMib;
constexpr std::uint32_t kFloorPasses = 3;
// Calibration may grow the memory (when three passes of 64 MiB take less
// than the time aimed at) up to this, so that one open does not claim much
// of a small machine's memory; past it, time goes into passes.
constexpr std::uint32_t kCalibratedMemoryLimitKib = 256 * kMib;
constexpr std::uint32_t kDefaultTimeMs = 500;
// Four lanes: computed on two threads they cost the user about what two
// lanes do on a two-core machine, and a machine with four cores computes
// them in a quarter of the time. An attacker's work is the same whatever
// the lanes.
constexpr std::uint32_t kDefaultLanes = 4;
// OWASP's minimum for Argon2id: 19 MiB, and at least as much work as
// 19 MiB with two passes. A new store's parameters are never below it;
// stores made before it still open (the reader's bounds are wider).
constexpr std::uint32_t kNewMinMemoryKib = 19 * kMib;
constexpr std::uint64_t kNewMinWorkKib = 2 * std::uint64_t{19 * kMib};

int derive(const std::string& password, const unsigned char* salt,
           const KdfParams& params, unsigned threads, unsigned char* out,
           std::string& error) {
  return detail::derive_argon2id(reinterpret_cast<const unsigned char*>(password.data()),
                               password.size(), salt, format::kKdfSaltSize,
                               params.memory_kib, params.passes, params.lanes, out,
                               format::kKeySize, error, nullptr, 0, nullptr, 0, threads);
}

KdfParams params_of(const unsigned char* header) {
  return {format::get_u32(header + format::kV2MemoryOffset),
          format::get_u32(header + format::kV2PassesOffset),
          format::get_u32(header + format::kV2LanesOffset)};
}

std::string_view associated_data(const unsigned char* header) {
  return {reinterpret_cast<const char*>(header), format::kV2AssociatedSize};
}

// Zeros, then the magic number, the version and `params`.
void start_header(const KdfParams& params, unsigned char* header) {
  std::memset(header, 0, format::kHeaderSize);
  std::memcpy(header, format::kMagic, sizeof format::kMagic);
  format::put_u32(header + format::kV2VersionOffset, format::kVersion2);
  format::put_u32(header + format::kV2MemoryOffset, params.memory_kib);
  format::put_u32(header + format::kV2PassesOffset, params.passes);
  format::put_u32(header + format::kV2LanesOffset, params.lanes);
}

double thread_cpu_ms() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The milliseconds of CPU time one pass over one KiB costs here: one
// derivation with one lane, in this thread, measured by this thread's own
// CPU clock. Wall time would count whatever else the machine runs, and the
// process's clock whatever else this process runs; the CPU time of one lane
// in one thread is what the work costs, and more lanes and threads divide
// the user's wait, not the work.
double cpu_ms_per_kib_pass(std::uint32_t memory_kib, std::string& error) {
  const KdfParams trial{std::min(memory_kib, kFloorMemoryKib), kFloorPasses, 1};
  SecretBytes<format::kKeySize> out;
  unsigned char salt[format::kKdfSaltSize] = {};
  const std::string password = "calibration";
  const double start = thread_cpu_ms();
  if (derive(password, salt, trial, 1, out.data(), error) != 0) return -1;
  const double spent = std::max(thread_cpu_ms() - start, 0.001);
  return spent / (static_cast<double>(trial.memory_kib) * trial.passes);
}

// The parameters whose derivation costs about `target` ms of CPU time here,
// given what one pass over one KiB costs; never less work than the floor.
KdfParams calibrated(KdfParams params, double per_kib_pass, double target,
                     bool memory_given) {
  double fewest = std::ceil(double{kFloorMemoryKib} * kFloorPasses / params.memory_kib);
  if (!memory_given) {
    // Time to spare goes into memory first, which is what makes guessing
    // on parallel hardware expensive, with three passes as RFC 9106
    // suggests. Clamped before the conversion: a long time aimed at must
    // not overflow it.
    const double grown = std::clamp(target / (kFloorPasses * per_kib_pass),
                                    double{kFloorMemoryKib}, double{kCalibratedMemoryLimitKib});
    params.memory_kib = static_cast<std::uint32_t>(grown) / kMib * kMib;
    fewest = kFloorPasses;
  }
  // Once the memory is at its limit (or given), the rest goes into passes.
  const double passes =
      std::clamp(target / (per_kib_pass * params.memory_kib) + 0.5, std::max(fewest, 1.0),
                 static_cast<double>(format::kMaxKdfPasses));
  // A long time aimed at on a fast machine would pass the bound on the
  // work of one derivation, which every reader refuses.
  const double most = static_cast<double>(format::kMaxKdfWorkKib / params.memory_kib);
  params.passes = static_cast<std::uint32_t>(std::min(passes, most));
  return params;
}

}  // namespace

std::string kdf_params_problem(const KdfParams& params) {
  if (params.memory_kib < format::kMinKdfMemoryKib) {
    return "memory " + std::to_string(params.memory_kib) +
           " KiB is below the minimum of 19 MiB (19456 KiB)";
  }
  if (params.memory_kib > format::kMaxKdfMemoryKib) {
    return "memory " + std::to_string(params.memory_kib) + " KiB is above the maximum of 4 GiB";
  }
  if (params.passes < format::kMinKdfPasses || params.passes > format::kMaxKdfPasses) {
    return "passes must be 1 to 1024, not " + std::to_string(params.passes);
  }
  if (params.lanes < format::kMinKdfLanes || params.lanes > format::kMaxKdfLanes) {
    return "lanes must be 1 to 64, not " + std::to_string(params.lanes);
  }
  if (std::uint64_t{params.memory_kib} * params.passes > format::kMaxKdfWorkKib) {
    // In MiB as well as KiB: the cost is what a reader needs to judge.
    return "asks for " + std::to_string(params.memory_kib / 1024) + " MiB (" +
           std::to_string(params.memory_kib) + " KiB) and " + std::to_string(params.passes) +
           " passes of Argon2id, more than kel-safe ever makes (memory times passes at most "
           "32 GiB, 33554432 KiB)";
  }
  return {};
}

int check_kdf_params(const KdfParams& params, std::string& error) {
  const std::string problem = kdf_params_problem(params);
  if (problem.empty()) return 0;
  detail::fail(error, Status::invalid_argument,
               "Key derivation parameters refused: " + problem);
  return -1;
}

int check_header_kdf_params(const unsigned char* header, std::string& error) {
  const std::string problem = kdf_params_problem(params_of(header));
  if (problem.empty()) return 0;
  // Every header this library writes is within the bounds.
  detail::fail(
      error, Status::damaged,
      "Store header damaged: its key derivation parameters are out of range: " +
          problem);
  return -1;
}

std::string new_kdf_params_problem(const KdfParams& params) {
  std::string problem = kdf_params_problem(params);
  if (!problem.empty()) return problem;
  if (params.memory_kib < kNewMinMemoryKib ||
      std::uint64_t{params.memory_kib} * params.passes < kNewMinWorkKib) {
    return std::to_string(params.memory_kib) + " KiB of memory with " +
           std::to_string(params.passes) + (params.passes == 1 ? " pass" : " passes") +
           " is below the minimum for a new store: 19 MiB, and memory times passes at "
           "least 38 MiB (19 MiB with 2 passes, 38912 KiB)";
  }
  return {};
}

int choose_kdf_params(const StoreOptions& options, KdfParams& params,
                      std::string& error) {
  const bool memory_given = options.kdf_memory_kib != 0;
  params.lanes = options.kdf_lanes == 0 ? kDefaultLanes : options.kdf_lanes;
  params.memory_kib = memory_given ? options.kdf_memory_kib : kFloorMemoryKib;
  params.passes = options.kdf_passes == 0 ? kFloorPasses : options.kdf_passes;
  if (check_kdf_params(params, error) != 0) return -1;
  if (options.kdf_passes == 0) {
    const double target = options.kdf_time_ms == 0 ? kDefaultTimeMs : options.kdf_time_ms;
    const double per_kib_pass = cpu_ms_per_kib_pass(params.memory_kib, error);
    if (per_kib_pass < 0) return -1;
    params = calibrated(params, per_kib_pass, target, memory_given);
  }
  const std::string problem = new_kdf_params_problem(params);
  if (problem.empty()) return 0;
  detail::fail(error, Status::invalid_argument,
               "Key derivation parameters refused: " + problem);
  return -1;
}

int seal_v2_header(const unsigned char* key, const std::string& password,
                   const KdfParams& params, unsigned threads, const unsigned char* store_id,
                   unsigned char* header, std::string& error) {
  if (check_kdf_params(params, error) != 0) return -1;
  start_header(params, header);
  unsigned char* salt = header + format::kV2SaltOffset;
  unsigned char* id = header + format::kV2StoreIdOffset;
  if (detail::gen_random(salt, format::kKdfSaltSize, error) != 0) {
    detail::fail(error, Status::internal,
                 "Could not generate store salt random");
    return -1;
  }
  if (store_id != nullptr) {
    std::memcpy(id, store_id, format::kStoreIdSize);
  } else if (detail::gen_random(id, format::kStoreIdSize, error) != 0) {
    detail::fail(error, Status::internal,
                 "Could not generate store identifier");
    return -1;
  }
  if (detail::gen_random(header + format::kV2KeyNonceOffset, format::kNonceSize, error) != 0) {
    detail::fail(error, Status::internal, "Could not generate random iv");
    return -1;
  }
  SecretBytes<format::kKeySize> wrapping_key;
  if (derive(password, salt, params, threads, wrapping_key.data(), error) != 0) return -1;
  if (crypto::seal(key, format::kKeySize, wrapping_key.data(),
                   header + format::kV2KeyNonceOffset, header + format::kV2KeyCipherOffset,
                   header + format::kV2KeyTagOffset, associated_data(header)) != 1) {
    detail::fail(error, Status::internal, "Encrypt store key failed");
    return -1;
  }
  return 0;
}

int open_v2_header(const unsigned char* header, const std::string& password,
                   unsigned threads, unsigned char* key, std::string& error) {
  // Before anything is derived or allocated: a header out of the bounds
  // could claim any amount of memory and hours of work.
  if (check_header_kdf_params(header, error) != 0) return -1;
  // The key of nothing proves nothing; no store has an empty password.
  if (password.empty()) {
    detail::fail(error, Status::wrong_password, "Invalid password");
    return -1;
  }
  const KdfParams params = params_of(header);
  SecretBytes<format::kKeySize> wrapping_key;
  if (derive(password, header + format::kV2SaltOffset, params, threads,
             wrapping_key.data(), error) != 0) {
    return -1;
  }
  // A wrong password is an everyday event, not a cipher fault: opened
  // without the diagnostic line a failed seal prints.
  crypto::AeadStream opener;
  if (!opener.begin(wrapping_key.data(), header + format::kV2KeyNonceOffset, false,
                    header + format::kV2KeyTagOffset, associated_data(header)) ||
      !opener.update(header + format::kV2KeyCipherOffset, format::kKeySize, key) ||
      !opener.finish()) {
    wipe(key, format::kKeySize);
    detail::fail(error, Status::wrong_password, "Invalid password");
    return -1;
  }
  return 0;
}

void load_v2_header(Store& store, const unsigned char* header) {
  store.engine->keys.format_version = 2;
  std::memset(store.password_hash, 0, sizeof store.password_hash);
  std::memset(store.password_salt, 0, sizeof store.password_salt);
  const KdfParams params = params_of(header);
  store.engine->keys.kdf_memory_kib = params.memory_kib;
  store.engine->keys.kdf_passes = params.passes;
  store.engine->keys.kdf_lanes = params.lanes;
  std::memcpy(store.engine->keys.kdf_salt, header + format::kV2SaltOffset, format::kKdfSaltSize);
  std::memcpy(store.engine->keys.store_id, header + format::kV2StoreIdOffset, format::kStoreIdSize);
  std::memcpy(store.store_key_nonce, header + format::kV2KeyNonceOffset, format::kNonceSize);
  std::memcpy(store.store_key_cipher, header + format::kV2KeyCipherOffset, format::kKeySize);
  std::memcpy(store.store_key_tag, header + format::kV2KeyTagOffset, format::kTagSize);
}

void encode_v2_header(const Store& store, unsigned char* header) {
  start_header({store.engine->keys.kdf_memory_kib, store.engine->keys.kdf_passes, store.engine->keys.kdf_lanes}, header);
  std::memcpy(header + format::kV2SaltOffset, store.engine->keys.kdf_salt, format::kKdfSaltSize);
  std::memcpy(header + format::kV2StoreIdOffset, store.engine->keys.store_id, format::kStoreIdSize);
  std::memcpy(header + format::kV2KeyNonceOffset, store.store_key_nonce, format::kNonceSize);
  std::memcpy(header + format::kV2KeyCipherOffset, store.store_key_cipher, format::kKeySize);
  std::memcpy(header + format::kV2KeyTagOffset, store.store_key_tag, format::kTagSize);
}

std::string unknown_version(const unsigned char* header, const std::string& path) {
  if (std::memcmp(header, format::kMagic, sizeof format::kMagic) != 0 ||
      is_version2_header(header) ||
      format::get_u32(header + format::kV2VersionOffset) == 3) {
    return {};
  }
  return "Not a kel-safe store this library reads: " + path + " has format version " +
         std::to_string(format::get_u32(header + format::kV2VersionOffset));
}

}  // namespace kel::detail
