#include "engine/keyring/header_v3.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "crypto/aead.h"
#include "crypto/argon2id.h"
#include "crypto/key_agreement.h"
#include "crypto/name_open.h"
#include "crypto/primitives.h"
#include "env/env.h"
#include "engine/engine.h"
#include "engine/file/io.h"
#include "engine/keyring/header_reader.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel::detail {

namespace {

namespace v3 = format::v3;

constexpr char kWrapInfo[] = "kel-safe store key";
constexpr char kMacInfo[] = "kel-safe slot mac";

std::uint16_t get_u16(const unsigned char* at) {
  return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

void put_u16(unsigned char* at, std::uint16_t value) {
  at[0] = static_cast<unsigned char>(value);
  at[1] = static_cast<unsigned char>(value >> 8);
}

int damaged(std::string& error, const std::string& what) {
  return detail::fail(error, Status::damaged, "Store header damaged: " + what);
}

// a || b as one string of bytes.
std::string joined(const unsigned char* a, std::size_t a_length, const unsigned char* b,
                   std::size_t b_length, const unsigned char* c = nullptr,
                   std::size_t c_length = 0) {
  std::string out(reinterpret_cast<const char*>(a), a_length);
  out.append(reinterpret_cast<const char*>(b), b_length);
  if (c != nullptr) out.append(reinterpret_cast<const char*>(c), c_length);
  return out;
}

// W, the key the store key is sealed under for the slot key P.
bool wrap_key(const unsigned char* shared, const unsigned char* ephemeral,
              const unsigned char* slot_public, const unsigned char* store_id,
              unsigned char* out) {
  const std::string salt = joined(ephemeral, 32, slot_public, 32);
  std::string info(kWrapInfo);
  info.append(reinterpret_cast<const char*>(store_id), format::kStoreIdSize);
  return crypto::hkdf_sha256(crypto::bytes(shared, 32), salt, info, out, format::kKeySize);
}

bool slot_mac(const unsigned char* key, const unsigned char* store_id,
              const unsigned char* slot, std::size_t covered, unsigned char* out) {
  SecretBytes<32> mac_key;
  if (!crypto::hkdf_sha256(crypto::bytes(key, format::kKeySize), {}, kMacInfo,
                           mac_key.data(), mac_key.size())) {
    return false;
  }
  const std::string data = joined(store_id, format::kStoreIdSize, slot, covered);
  return crypto::hmac_sha256(crypto::bytes(mac_key.data(), mac_key.size()), data, out);
}

int derive(const std::string& password, const unsigned char* salt, const KdfParams& params,
           unsigned threads, unsigned char* out, std::string& error) {
  return derive_argon2id(reinterpret_cast<const unsigned char*>(password.data()),
                         password.size(), salt, format::kKdfSaltSize, params.memory_kib,
                         params.passes, params.lanes, out, format::kKeySize, error, nullptr,
                         0, nullptr, 0, threads);
}

// What opening one password slot came to.
enum class SlotOpen { opened, wrong_password, broken, failed };

SlotOpen open_password_slot(const std::vector<unsigned char>& header, const SlotFrame& slot,
                            const std::string& password, unsigned threads, unsigned char* key,
                            std::string& error) {
  const unsigned char* store_id = header.data() + v3::kStoreIdOffset;
  const unsigned char* after = header.data() + slot.after_label();
  const unsigned char* part = after + v3::kKindPartAt;
  const unsigned char* slot_public = after + v3::kPublicAt;
  SecretBytes<format::kKeySize> password_key;
  if (derive(password, part + v3::kSaltAt, v3_slot_params(header, slot), threads,
             password_key.data(), error) != 0) {
    return SlotOpen::failed;
  }
  SecretBytes<32> secret;
  const std::string secret_ad = joined(store_id, format::kStoreIdSize, slot_public, 32,
                                       part + v3::kParamsAt, 12);
  if (!crypto::open_name(password_key.data(), part + v3::kSecretNonceAt,
                         part + v3::kSecretTagAt, part + v3::kSealedSecretAt, 32,
                         secret.data(), secret_ad)) {
    return SlotOpen::wrong_password;
  }
  SecretBytes<32> shared;
  SecretBytes<format::kKeySize> wrapping;
  if (!crypto::x25519_shared(secret.data(), after + v3::kEphemeralAt, shared.data()) ||
      !wrap_key(shared.data(), after + v3::kEphemeralAt, slot_public, store_id,
                wrapping.data())) {
    return SlotOpen::broken;
  }
  const std::string key_ad = joined(store_id, format::kStoreIdSize, slot_public, 32);
  if (!crypto::open_name(wrapping.data(), after + v3::kWrapNonceAt, after + v3::kWrapTagAt,
                         after + v3::kWrappedKeyAt, format::kKeySize, key, key_ad) ||
      !v3_slot_mac_holds(header, slot, key)) {
    wipe(key, format::kKeySize);
    return SlotOpen::broken;
  }
  return SlotOpen::opened;
}

}  // namespace

bool is_version3_header(const unsigned char* header) {
  return std::memcmp(header, format::kMagic, sizeof format::kMagic) == 0 &&
         format::get_u32(header + format::kV2VersionOffset) == v3::kVersion;
}

std::uint32_t v3_header_length(const unsigned char* header) {
  return format::get_u32(header + v3::kHeaderLengthOffset);
}

int parse_v3_header(const std::vector<unsigned char>& header, std::vector<SlotFrame>& slots,
                    std::string& error) {
  slots.clear();
  if (header.size() < static_cast<std::size_t>(v3::kSlotsOffset) ||
      !is_version3_header(header.data()) || v3_header_length(header.data()) != header.size()) {
    return damaged(error, "its length is wrong");
  }
  const unsigned count = get_u16(header.data() + v3::kSlotCountOffset);
  if (count == 0 || count > v3::kMaxSlots) {
    return damaged(error, "it holds " + std::to_string(count) +
                              " key slots (1 to 16 are allowed)");
  }
  if (get_u16(header.data() + v3::kSlotCountOffset + 2) != 0) {
    return damaged(error, "its reserved bytes are not zero");
  }
  std::size_t at = v3::kSlotsOffset;
  for (unsigned i = 0; i < count; ++i) {
    const std::string which = "key slot " + std::to_string(i + 1);
    if (at + v3::kLabelAt > header.size()) return damaged(error, which + " is cut short");
    SlotFrame slot;
    slot.kind = header[at];
    slot.offset = at;
    slot.length = get_u16(header.data() + at + v3::kSlotLengthAt);
    slot.label_length = header[at + v3::kLabelLengthAt];
    // Every kind holds at least what all share: its label, the public
    // keys, the wrapped store key and the MAC.
    if (slot.label_length > v3::kMaxLabel ||
        slot.length < v3::kLabelAt + slot.label_length + v3::kKindPartAt + v3::kMacSize ||
        at + slot.length > header.size()) {
      return damaged(error, which + " has a wrong length");
    }
    if (slot.kind == v3::kPasswordSlot &&
        (header[at + 1] != 0 || slot.label_length > v3::kMaxLabel ||
         slot.length != v3::password_slot_size(slot.label_length))) {
      return damaged(error, which + " has a wrong length");
    }
    slots.push_back(slot);
    at += slot.length;
  }
  if (at != header.size()) return damaged(error, "its key slots do not fill it");
  return 0;
}

int read_v3_header(int fd, std::vector<unsigned char>& header, bool locked,
                   std::string& error) {
  SharedFileLock lock(fd, locked);
  unsigned char start[v3::kSlotsOffset] = {};
  const ssize_t got = io::pread_full(fd, start, sizeof start, 0);
  if (got < 0) {
    error = "Could not read store header - " + io::error_text(errno);
    return -1;
  }
  if (got < 16 || !is_version3_header(start)) return 1;
  const std::uint32_t length = v3_header_length(start);
  if (length < v3::kSlotsOffset + v3::password_slot_size(0) || length > v3::kMaxHeaderLength) {
    return damaged(error, "its length is out of range");
  }
  header.assign(length, 0);
  const ssize_t whole = io::pread_full(fd, header.data(), length, 0);
  if (whole < 0) {
    error = "Could not read store header - " + io::error_text(errno);
    return -1;
  }
  if (static_cast<std::size_t>(whole) != length) {
    return damaged(error, "the file ends inside it");
  }
  return 0;
}

KdfParams v3_slot_params(const std::vector<unsigned char>& header, const SlotFrame& slot) {
  const unsigned char* params = header.data() + slot.after_label() + v3::kKindPartAt;
  return {format::get_u32(params), format::get_u32(params + 4), format::get_u32(params + 8)};
}

bool v3_slot_mac_holds(const std::vector<unsigned char>& header, const SlotFrame& slot,
                       const unsigned char* key) {
  unsigned char mac[v3::kMacSize];
  const unsigned char* bytes = header.data() + slot.offset;
  return slot_mac(key, header.data() + v3::kStoreIdOffset, bytes,
                  slot.length - v3::kMacSize, mac) &&
         verify_hash(mac, sizeof mac, header.data() + slot.mac_at(), v3::kMacSize);
}

int make_password_slot(const unsigned char* key, const unsigned char* store_id,
                       const std::string& password, const KdfParams& params,
                       unsigned threads, std::string_view label,
                       std::vector<unsigned char>& slot, std::string& error) {
  if (check_kdf_params(params, error) != 0) return -1;
  if (label.size() > v3::kMaxLabel) {
    return detail::fail(error, Status::invalid_argument,
                        "A key slot's label is at most 64 bytes");
  }
  slot.assign(v3::password_slot_size(label.size()), 0);
  unsigned char* s = slot.data();
  s[0] = static_cast<unsigned char>(v3::kPasswordSlot);
  put_u16(s + v3::kSlotLengthAt, static_cast<std::uint16_t>(slot.size()));
  format::put_i64(s + v3::kCreatedAt, static_cast<std::int64_t>(std::time(nullptr)));
  s[v3::kLabelLengthAt] = static_cast<unsigned char>(label.size());
  if (!label.empty()) std::memcpy(s + v3::kLabelAt, label.data(), label.size());
  unsigned char* after = s + v3::kLabelAt + label.size();
  unsigned char* part = after + v3::kKindPartAt;
  SecretBytes<32> secret;
  SecretBytes<32> ephemeral;
  SecretBytes<32> shared;
  SecretBytes<format::kKeySize> wrapping;
  SecretBytes<format::kKeySize> password_key;
  if (!crypto::x25519_key_pair(secret.data(), after + v3::kPublicAt) ||
      !crypto::x25519_key_pair(ephemeral.data(), after + v3::kEphemeralAt) ||
      !crypto::x25519_shared(ephemeral.data(), after + v3::kPublicAt, shared.data()) ||
      !wrap_key(shared.data(), after + v3::kEphemeralAt, after + v3::kPublicAt, store_id,
                wrapping.data())) {
    return detail::fail(error, Status::internal, "Could not make a key slot");
  }
  if (detail::gen_random(after + v3::kWrapNonceAt, format::kNonceSize, error) != 0 ||
      detail::gen_random(part + v3::kSaltAt, format::kKdfSaltSize, error) != 0 ||
      detail::gen_random(part + v3::kSecretNonceAt, format::kNonceSize, error) != 0) {
    return detail::fail(error, Status::internal, "Could not generate random iv");
  }
  const std::string key_ad = joined(store_id, format::kStoreIdSize, after + v3::kPublicAt, 32);
  format::put_u32(part + v3::kParamsAt, params.memory_kib);
  format::put_u32(part + v3::kParamsAt + 4, params.passes);
  format::put_u32(part + v3::kParamsAt + 8, params.lanes);
  const std::string secret_ad =
      joined(store_id, format::kStoreIdSize, after + v3::kPublicAt, 32, part, 12);
  if (crypto::seal(key, format::kKeySize, wrapping.data(), after + v3::kWrapNonceAt,
                   after + v3::kWrappedKeyAt, after + v3::kWrapTagAt, key_ad) != 1) {
    return detail::fail(error, Status::internal, "Encrypt store key failed");
  }
  if (derive(password, part + v3::kSaltAt, params, threads, password_key.data(), error) != 0) {
    return -1;
  }
  if (crypto::seal(secret.data(), 32, password_key.data(), part + v3::kSecretNonceAt,
                   part + v3::kSealedSecretAt, part + v3::kSecretTagAt, secret_ad) != 1 ||
      !slot_mac(key, store_id, s, slot.size() - v3::kMacSize, s + slot.size() - v3::kMacSize)) {
    return detail::fail(error, Status::internal, "Encrypt store key failed");
  }
  return 0;
}

std::vector<unsigned char> assemble_v3_header(
    const unsigned char* store_id, const unsigned char* generation,
    const std::vector<std::vector<unsigned char>>& slots) {
  std::size_t length = v3::kSlotsOffset;
  for (const auto& slot : slots) length += slot.size();
  std::vector<unsigned char> header(length, 0);
  std::memcpy(header.data(), format::kMagic, sizeof format::kMagic);
  format::put_u32(header.data() + format::kV2VersionOffset, v3::kVersion);
  format::put_u32(header.data() + v3::kHeaderLengthOffset, static_cast<std::uint32_t>(length));
  std::memcpy(header.data() + v3::kStoreIdOffset, store_id, format::kStoreIdSize);
  std::memcpy(header.data() + v3::kGenerationOffset, generation, v3::kGenerationSize);
  put_u16(header.data() + v3::kSlotCountOffset, static_cast<std::uint16_t>(slots.size()));
  std::size_t at = v3::kSlotsOffset;
  for (const auto& slot : slots) {
    std::memcpy(header.data() + at, slot.data(), slot.size());
    at += slot.size();
  }
  return header;
}

int seal_v3_header(const unsigned char* key, const std::string& password,
                   const KdfParams& params, unsigned threads,
                   std::vector<unsigned char>& header, std::string& error) {
  unsigned char store_id[format::kStoreIdSize];
  unsigned char generation[v3::kGenerationSize];
  if (detail::gen_random(store_id, sizeof store_id, error) != 0 ||
      detail::gen_random(generation, sizeof generation, error) != 0) {
    return detail::fail(error, Status::internal, "Could not generate store identifier");
  }
  std::vector<std::vector<unsigned char>> slots(1);
  if (make_password_slot(key, store_id, password, params, threads, {}, slots[0], error) != 0) {
    return -1;
  }
  header = assemble_v3_header(store_id, generation, slots);
  return 0;
}

int new_generation(std::vector<unsigned char>& header, std::string& error) {
  if (detail::gen_random(header.data() + v3::kGenerationOffset, v3::kGenerationSize, error) !=
      0) {
    return detail::fail(error, Status::internal, "Could not generate store generation");
  }
  return 0;
}

int open_v3_header(const std::vector<unsigned char>& header, const std::string& password,
                   unsigned threads, unsigned char* key, std::string& error,
                   std::size_t* opened) {
  std::vector<SlotFrame> slots;
  if (parse_v3_header(header, slots, error) != 0) return -1;
  if (password.empty()) {
    return detail::fail(error, Status::wrong_password, "Invalid password");
  }
  std::string broken;
  std::string out_of_bounds;
  bool tried = false;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (slots[i].kind != v3::kPasswordSlot) continue;
    // As format 2 refuses them: before anything is derived or allocated.
    const std::string problem = kdf_params_problem(v3_slot_params(header, slots[i]));
    if (!problem.empty()) {
      if (out_of_bounds.empty()) {
        out_of_bounds = "key slot " + std::to_string(i + 1) +
                        "'s key derivation parameters are out of range: " + problem;
      }
      continue;
    }
    tried = true;
    switch (open_password_slot(header, slots[i], password, threads, key, error)) {
      case SlotOpen::opened:
        if (opened != nullptr) *opened = i;
        return 0;
      case SlotOpen::failed:
        return -1;
      case SlotOpen::broken:
        if (broken.empty()) broken = "key slot " + std::to_string(i + 1);
        break;
      case SlotOpen::wrong_password:
        break;
    }
  }
  if (!broken.empty()) {
    return damaged(error, "the password opens " + broken +
                              ", but its wrapped store key or its MAC does not "
                              "authenticate");
  }
  if (!tried) {
    return damaged(error, out_of_bounds.empty() ? "no key slot opens with a password"
                                                : out_of_bounds);
  }
  return detail::fail(error, Status::wrong_password, "Invalid password");
}

void load_v3_header(Store& store, const std::vector<unsigned char>& header,
                    const std::vector<SlotFrame>& slots) {
  Keyring& keys = store.engine->keys;
  keys.format_version = 3;
  std::memset(store.password_hash, 0, sizeof store.password_hash);
  std::memset(store.password_salt, 0, sizeof store.password_salt);
  std::memset(store.store_key_nonce, 0, sizeof store.store_key_nonce);
  std::memset(store.store_key_cipher, 0, sizeof store.store_key_cipher);
  std::memset(store.store_key_tag, 0, sizeof store.store_key_tag);
  std::memset(keys.kdf_salt, 0, sizeof keys.kdf_salt);
  keys.kdf_memory_kib = keys.kdf_passes = keys.kdf_lanes = 0;
  for (const SlotFrame& slot : slots) {
    if (slot.kind != v3::kPasswordSlot) continue;
    const KdfParams params = v3_slot_params(header, slot);
    keys.kdf_memory_kib = params.memory_kib;
    keys.kdf_passes = params.passes;
    keys.kdf_lanes = params.lanes;
    break;
  }
  std::memcpy(keys.store_id, header.data() + v3::kStoreIdOffset, sizeof keys.store_id);
  std::memcpy(keys.generation, header.data() + v3::kGenerationOffset, sizeof keys.generation);
  keys.records_start = static_cast<long long>(header.size());
  keys.v3_header = header;
}

void verify_v3_header(Store& store, const std::vector<unsigned char>& header) {
  Keyring& keys = store.engine->keys;
  keys.verified_v3 = header;
  std::memset(keys.verified_header, 0, sizeof keys.verified_header);
  std::memcpy(keys.verified_header, header.data(),
              std::min(header.size(), sizeof keys.verified_header));
}

bool still_version3_header(const Store& store, const std::vector<unsigned char>& header,
                           std::string& error) {
  const std::vector<unsigned char>& verified = store.engine->keys.verified_v3;
  if (verified.empty()) {
    detail::fail(error, Status::changed, kFormatChangedSinceOpen);
    return false;
  }
  // A rewrite draws a new generation and keeps every other byte.
  const auto same_from = [&](std::size_t from, std::size_t to) {
    return std::equal(verified.begin() + static_cast<long>(from),
                      verified.begin() + static_cast<long>(to),
                      header.begin() + static_cast<long>(from));
  };
  if (header.size() == verified.size() && same_from(0, v3::kGenerationOffset) &&
      same_from(v3::kSlotCountOffset, header.size())) {
    return true;
  }
  detail::fail(error, Status::wrong_password, "Invalid password");
  return false;
}

}  // namespace kel::detail
