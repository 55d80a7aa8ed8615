#include "engine/keyring/header_v2.h"

#include <algorithm>
#include <chrono>
#include <cstring>

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
constexpr std::uint32_t kCalibratedMemoryKib = 64 * kMib;
// Calibration may grow the memory (when three passes of 64 MiB take less
// than the time aimed at) up to this, so that one open does not claim much
// of a small machine's memory.
constexpr std::uint32_t kCalibratedMemoryLimitKib = 512 * kMib;
constexpr std::uint32_t kDefaultTimeMs = 250;

int derive(const std::string& password, const unsigned char* salt,
           const KdfParams& params, unsigned char* out, std::string& error) {
  return detail::derive_argon2id(reinterpret_cast<const unsigned char*>(password.data()),
                               password.size(), salt, format::kKdfSaltSize,
                               params.memory_kib, params.passes, params.lanes, out,
                               format::kKeySize, error);
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

// Milliseconds one derivation with `params` takes here.
double time_one(const KdfParams& params, std::string& error) {
  SecretBytes<format::kKeySize> out;
  unsigned char salt[format::kKdfSaltSize] = {};
  const std::string trial = "calibration";
  const auto start = std::chrono::steady_clock::now();
  if (derive(trial, salt, params, out.data(), error) != 0) return -1;
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// The parameters that make one derivation take about `target` ms here,
// given that one pass over params.memory_kib took `one_pass` ms.
KdfParams calibrated(KdfParams params, double one_pass, double target, bool memory_given) {
  double pass_ms = one_pass;
  double fewest = 1;
  if (!memory_given && 3 * one_pass <= target) {
    // Time to spare goes into memory first, which is what makes guessing
    // on parallel hardware expensive; three passes as RFC 9106 suggests.
    // Clamped before the conversion: a long time aimed at must not
    // overflow it.
    const double grown = std::min(params.memory_kib * target / (3 * one_pass),
                                  static_cast<double>(kCalibratedMemoryLimitKib));
    const std::uint32_t memory =
        std::max(static_cast<std::uint32_t>(grown) / kMib * kMib, kCalibratedMemoryKib);
    pass_ms = one_pass * memory / params.memory_kib;
    params.memory_kib = memory;
    fewest = 3;
  }
  // Once the memory is at its limit, the rest of the time goes into passes.
  const double passes = std::clamp(target / pass_ms + 0.5, fewest,
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

int choose_kdf_params(const StoreOptions& options, KdfParams& params,
                      std::string& error) {
  params.lanes = options.kdf_lanes == 0 ? 1 : options.kdf_lanes;
  params.memory_kib = options.kdf_memory_kib == 0 ? kCalibratedMemoryKib : options.kdf_memory_kib;
  params.passes = options.kdf_passes == 0 ? 1 : options.kdf_passes;
  if (check_kdf_params(params, error) != 0) return -1;
  if (options.kdf_passes != 0) return 0;
  const double target = options.kdf_time_ms == 0 ? kDefaultTimeMs : options.kdf_time_ms;
  const double one_pass = time_one(params, error);
  if (one_pass < 0) return -1;
  params = calibrated(params, std::max(one_pass, 0.001), target, options.kdf_memory_kib != 0);
  return check_kdf_params(params, error);
}

int seal_v2_header(const unsigned char* key, const std::string& password,
                   const KdfParams& params, const unsigned char* store_id,
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
  if (derive(password, salt, params, wrapping_key.data(), error) != 0) return -1;
  if (crypto::seal(key, format::kKeySize, wrapping_key.data(),
                   header + format::kV2KeyNonceOffset, header + format::kV2KeyCipherOffset,
                   header + format::kV2KeyTagOffset, associated_data(header)) != 1) {
    detail::fail(error, Status::internal, "Encrypt store key failed");
    return -1;
  }
  return 0;
}

int open_v2_header(const unsigned char* header, const std::string& password,
                   unsigned char* key, std::string& error) {
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
  if (derive(password, header + format::kV2SaltOffset, params, wrapping_key.data(),
             error) != 0) {
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
      is_version2_header(header)) {
    return {};
  }
  return "Not a kel-safe store this library reads: " + path + " has format version " +
         std::to_string(format::get_u32(header + format::kV2VersionOffset));
}

}  // namespace kel::detail
