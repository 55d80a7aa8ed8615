#include "engine/keyring/header_v3.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include <sodium.h>

#include "crypto/aead.h"
#include "crypto/argon2id.h"
#include "crypto/key_agreement.h"
#include "crypto/name_open.h"
#include "crypto/primitives.h"
#include "crypto/store_key.h"
#include "env/env.h"
#include "engine/engine.h"
#include "engine/file/io.h"
#include "engine/keyring/header_reader.h"
#include "engine/index/index_scan.h"
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

int derive(std::string_view input, const unsigned char* salt, const KdfParams& params,
           unsigned threads, unsigned char* out, std::string& error) {
  return derive_argon2id(reinterpret_cast<const unsigned char*>(input.data()), input.size(),
                         salt, format::kKdfSaltSize, params.memory_kib, params.passes,
                         params.lanes, out, format::kKeySize, error, nullptr, 0, nullptr, 0,
                         threads);
}

// C = SHA-256(SHA-256(password) || key_file_hash): what a kind-3 slot's
// Argon2id takes in place of the password.
bool composite_key(const std::string& password, const unsigned char* key_file_hash,
                   unsigned char* out) {
  if (sodium_init() < 0) return false;
  SecretBytes<64> both;
  crypto_hash_sha256(both.data(), reinterpret_cast<const unsigned char*>(password.data()),
                     password.size());
  std::memcpy(both.data() + 32, key_file_hash, 32);
  crypto_hash_sha256(out, both.data(), both.size());
  return true;
}

// The Argon2id input of a slot of `kind` (1 or 3) into `input` (a view of
// `room` or of the password). False when the kind needs a key file hash
// that is not there.
bool kdf_input(unsigned kind, const std::string& password, const unsigned char* key_file_hash,
               SecretBytes<32>& room, std::string_view& input) {
  if (kind == v3::kPasswordSlot) {
    input = password;
    return true;
  }
  if (key_file_hash == nullptr || !composite_key(password, key_file_hash, room.data())) {
    return false;
  }
  input = crypto::bytes(room.data(), room.size());
  return true;
}

// What opening one slot came to.
enum class SlotOpen { opened, wrong_password, broken, failed };

// The store key from a slot whose secret key is `secret`: W, the wrapped
// key, the MAC.
SlotOpen unwrap_slot(const std::vector<unsigned char>& header, const SlotFrame& slot,
                     const unsigned char* secret, unsigned char* key) {
  const unsigned char* store_id = header.data() + v3::kStoreIdOffset;
  const unsigned char* after = header.data() + slot.after_label();
  const unsigned char* slot_public = after + v3::kPublicAt;
  SecretBytes<32> shared;
  SecretBytes<format::kKeySize> wrapping;
  if (!crypto::x25519_shared(secret, after + v3::kEphemeralAt, shared.data()) ||
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

// A password slot (kind 1), or with `key_file_hash` a password-and-key-file
// slot (kind 3).
SlotOpen open_password_slot(const std::vector<unsigned char>& header, const SlotFrame& slot,
                            const std::string& password, const unsigned char* key_file_hash,
                            unsigned threads, unsigned char* key, std::string& error) {
  const unsigned char* store_id = header.data() + v3::kStoreIdOffset;
  const unsigned char* after = header.data() + slot.after_label();
  const unsigned char* part = after + v3::kKindPartAt;
  const unsigned char* slot_public = after + v3::kPublicAt;
  SecretBytes<32> composite;
  std::string_view input;
  if (!kdf_input(slot.kind, password, key_file_hash, composite, input)) {
    detail::fail(error, Status::internal, "Could not combine the password with the key file");
    return SlotOpen::failed;
  }
  SecretBytes<format::kKeySize> password_key;
  if (derive(input, part + v3::kSaltAt, v3_slot_params(header, slot), threads,
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
  return unwrap_slot(header, slot, secret.data(), key);
}

// The common part of any slot, filled but for its MAC: kind, length,
// created, label, P (given), a fresh ephemeral key and the store key
// wrapped to P. `slot` is sized by the caller.
bool fill_common(unsigned kind, const unsigned char* key, const unsigned char* store_id,
                 std::string_view label, std::vector<unsigned char>& slot,
                 std::string& error) {
  unsigned char* s = slot.data();
  s[0] = static_cast<unsigned char>(kind);
  put_u16(s + v3::kSlotLengthAt, static_cast<std::uint16_t>(slot.size()));
  format::put_i64(s + v3::kCreatedAt, static_cast<std::int64_t>(std::time(nullptr)));
  s[v3::kLabelLengthAt] = static_cast<unsigned char>(label.size());
  if (!label.empty()) std::memcpy(s + v3::kLabelAt, label.data(), label.size());
  unsigned char* after = s + v3::kLabelAt + label.size();
  SecretBytes<32> ephemeral;
  SecretBytes<32> shared;
  SecretBytes<format::kKeySize> wrapping;
  if (!crypto::x25519_key_pair(ephemeral.data(), after + v3::kEphemeralAt) ||
      !crypto::x25519_shared(ephemeral.data(), after + v3::kPublicAt, shared.data()) ||
      !wrap_key(shared.data(), after + v3::kEphemeralAt, after + v3::kPublicAt, store_id,
                wrapping.data())) {
    detail::fail(error, Status::internal, "Could not make a key slot");
    return false;
  }
  if (detail::gen_random(after + v3::kWrapNonceAt, format::kNonceSize, error) != 0) {
    detail::fail(error, Status::internal, "Could not generate random iv");
    return false;
  }
  const std::string key_ad = joined(store_id, format::kStoreIdSize, after + v3::kPublicAt, 32);
  if (crypto::seal(key, format::kKeySize, wrapping.data(), after + v3::kWrapNonceAt,
                   after + v3::kWrappedKeyAt, after + v3::kWrapTagAt, key_ad) != 1) {
    detail::fail(error, Status::internal, "Encrypt store key failed");
    return false;
  }
  return true;
}

bool seal_mac(const unsigned char* key, const unsigned char* store_id,
              std::vector<unsigned char>& slot) {
  return slot_mac(key, store_id, slot.data(), slot.size() - v3::kMacSize,
                  slot.data() + slot.size() - v3::kMacSize);
}

// A slot of kind 1 or 3: a fresh key pair whose secret key is sealed under
// Argon2id of the kind's input.
int make_secret_slot(unsigned kind, const unsigned char* key, const unsigned char* store_id,
                     const std::string& password, const unsigned char* key_file_hash,
                     const KdfParams& params, unsigned threads, std::string_view label,
                     std::vector<unsigned char>& slot, std::string& error) {
  if (check_kdf_params(params, error) != 0 || check_slot_label(label, error) != 0) return -1;
  slot.assign(v3::password_slot_size(label.size()), 0);
  unsigned char* after = slot.data() + v3::kLabelAt + label.size();
  unsigned char* part = after + v3::kKindPartAt;
  SecretBytes<32> secret;
  if (!crypto::x25519_key_pair(secret.data(), after + v3::kPublicAt)) {
    return detail::fail(error, Status::internal, "Could not make a key slot");
  }
  if (!fill_common(kind, key, store_id, label, slot, error)) return -1;
  if (detail::gen_random(part + v3::kSaltAt, format::kKdfSaltSize, error) != 0 ||
      detail::gen_random(part + v3::kSecretNonceAt, format::kNonceSize, error) != 0) {
    return detail::fail(error, Status::internal, "Could not generate random iv");
  }
  format::put_u32(part + v3::kParamsAt, params.memory_kib);
  format::put_u32(part + v3::kParamsAt + 4, params.passes);
  format::put_u32(part + v3::kParamsAt + 8, params.lanes);
  const std::string secret_ad =
      joined(store_id, format::kStoreIdSize, after + v3::kPublicAt, 32, part, 12);
  SecretBytes<32> composite;
  std::string_view input;
  if (!kdf_input(kind, password, key_file_hash, composite, input)) {
    return detail::fail(error, Status::internal,
                        "Could not combine the password with the key file");
  }
  SecretBytes<format::kKeySize> password_key;
  if (derive(input, part + v3::kSaltAt, params, threads, password_key.data(), error) != 0) {
    return -1;
  }
  if (crypto::seal(secret.data(), 32, password_key.data(), part + v3::kSecretNonceAt,
                   part + v3::kSealedSecretAt, part + v3::kSecretTagAt, secret_ad) != 1 ||
      !seal_mac(key, store_id, slot)) {
    return detail::fail(error, Status::internal, "Encrypt store key failed");
  }
  return 0;
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
    const std::string which = "key slot " + std::to_string(i);
    if (at + v3::kLabelAt > header.size()) return damaged(error, which + " is cut short");
    SlotFrame slot;
    slot.kind = header[at];
    slot.offset = at;
    slot.length = get_u16(header.data() + at + v3::kSlotLengthAt);
    slot.label_length = header[at + v3::kLabelLengthAt];
    // Every kind holds at least what all share: the public keys, the
    // wrapped store key and the MAC. A length below that, or past the
    // header, breaks the frame of every slot after it.
    if (slot.length < v3::kLabelAt + v3::kKindPartAt + v3::kMacSize ||
        at + slot.length > header.size()) {
      return damaged(error, which + " has a wrong length");
    }
    // A slot framed soundly but whose own fields do not agree (a label
    // longer than the slot, a known kind of the wrong length, a reserved
    // byte set) is damaged: it is listed as a kind no one opens, so that
    // it costs itself alone, and its MAC fails, so a rewrite drops it.
    bool sound = slot.label_length <= v3::kMaxLabel &&
                 slot.length >= v3::kLabelAt + slot.label_length + v3::kKindPartAt + v3::kMacSize;
    const bool secret_kind = slot.kind == v3::kPasswordSlot || slot.kind == v3::kKeyFileSlot;
    if (sound && (secret_kind || slot.kind == v3::kRecipientSlot)) {
      sound = header[at + 1] == 0 &&
              slot.length == (secret_kind ? v3::password_slot_size(slot.label_length)
                                          : v3::recipient_slot_size(slot.label_length));
    }
    if (!sound) {
      slot.kind = 0;
      slot.label_length = 0;
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
  if (length < v3::kSlotsOffset + v3::recipient_slot_size(0) || length > v3::kMaxHeaderLength) {
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
  return make_secret_slot(v3::kPasswordSlot, key, store_id, password, nullptr, params, threads,
                          label, slot, error);
}

int make_key_file_slot(const unsigned char* key, const unsigned char* store_id,
                       const std::string& password, const unsigned char* key_file_hash,
                       const KdfParams& params, unsigned threads, std::string_view label,
                       std::vector<unsigned char>& slot, std::string& error) {
  return make_secret_slot(v3::kKeyFileSlot, key, store_id, password, key_file_hash, params,
                          threads, label, slot, error);
}

int make_recipient_slot(const unsigned char* key, const unsigned char* store_id,
                        const unsigned char* recipient, std::string_view label,
                        std::vector<unsigned char>& slot, std::string& error) {
  if (check_slot_label(label, error) != 0) return -1;
  slot.assign(v3::recipient_slot_size(label.size()), 0);
  std::memcpy(slot.data() + v3::kLabelAt + label.size() + v3::kPublicAt, recipient, 32);
  if (!fill_common(v3::kRecipientSlot, key, store_id, label, slot, error)) return -1;
  if (!seal_mac(key, store_id, slot)) {
    return detail::fail(error, Status::internal, "Encrypt store key failed");
  }
  return 0;
}

int check_slot_label(std::string_view label, std::string& error) {
  if (label.size() > v3::kMaxLabel) {
    return detail::fail(error, Status::invalid_argument,
                        "A key slot's label is at most 64 bytes");
  }
  if (label.find_first_of(std::string_view("\0\n\r", 3)) != std::string_view::npos) {
    return detail::fail(error, Status::invalid_argument,
                        "A key slot's label cannot hold NUL or line breaks");
  }
  return 0;
}

int rewrap_v3_slot(const std::vector<unsigned char>& header, const SlotFrame& slot,
                   const unsigned char* new_key, std::vector<unsigned char>& out,
                   std::string& error) {
  const unsigned char* store_id = header.data() + v3::kStoreIdOffset;
  out.assign(header.begin() + static_cast<long>(slot.offset),
             header.begin() + static_cast<long>(slot.offset + slot.length));
  const std::string_view label(reinterpret_cast<const char*>(out.data() + v3::kLabelAt),
                               slot.label_length);
  // fill_common writes the created time anew: a rewrapped slot keeps its own.
  unsigned char created[8];
  std::memcpy(created, out.data() + v3::kCreatedAt, sizeof created);
  if (!fill_common(slot.kind, new_key, store_id, label, out, error)) return -1;
  std::memcpy(out.data() + v3::kCreatedAt, created, sizeof created);
  if (!seal_mac(new_key, store_id, out)) {
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
                   std::size_t* opened, const Credential* credential) {
  std::vector<SlotFrame> slots;
  if (parse_v3_header(header, slots, error) != 0) return -1;
  using Kind = Credential::Kind;
  const Kind kind = credential != nullptr ? credential->kind : Kind::password;
  const bool identity = kind == Kind::identity;
  const unsigned wanted = identity                ? v3::kRecipientSlot
                          : kind == Kind::key_file ? v3::kKeyFileSlot
                                                   : v3::kPasswordSlot;
  const char* const refused =
      identity ? "No key slot of this store opens with this identity" : "Invalid password";
  if (!identity && password.empty()) {
    return detail::fail(error, Status::wrong_password, refused);
  }
  std::string broken;
  std::string out_of_bounds;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (slots[i].kind != wanted) continue;
    SlotOpen result = SlotOpen::wrong_password;
    if (identity) {
      const unsigned char* slot_public = header.data() + slots[i].after_label() + v3::kPublicAt;
      if (sodium_memcmp(slot_public, credential->identity_public, 32) != 0) continue;
      result = unwrap_slot(header, slots[i], credential->identity_secret.data(), key);
    } else {
      // As format 2 refuses them: before anything is derived or allocated.
      const std::string problem = kdf_params_problem(v3_slot_params(header, slots[i]));
      if (!problem.empty()) {
        if (out_of_bounds.empty()) {
          out_of_bounds = "key slot " + std::to_string(i) +
                          "'s key derivation parameters are out of range: " + problem;
        }
        continue;
      }
      result = open_password_slot(header, slots[i], password,
                                  wanted == v3::kKeyFileSlot
                                      ? credential->key_file_hash.data()
                                      : nullptr,
                                  threads, key, error);
    }
    switch (result) {
      case SlotOpen::opened:
        if (opened != nullptr) *opened = i;
        return 0;
      case SlotOpen::failed:
        return -1;
      case SlotOpen::broken:
        if (broken.empty()) broken = "key slot " + std::to_string(i);
        break;
      case SlotOpen::wrong_password:
        break;
    }
  }
  if (!broken.empty()) {
    return damaged(error, std::string(identity ? "the identity" : "the password") + " opens " +
                              broken +
                              ", but its wrapped store key or its MAC does not "
                              "authenticate");
  }
  // A slot of the kind asked for was there but could not be tried: the
  // store may well open with this password once its parameters are mended.
  if (!out_of_bounds.empty()) return damaged(error, out_of_bounds);
  return detail::fail(error, Status::wrong_password, refused);
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
    if (slot.kind != v3::kPasswordSlot && slot.kind != v3::kKeyFileSlot) continue;
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

void verify_v3_header(Store& store, const std::vector<unsigned char>& header,
                      std::size_t opened) {
  Keyring& keys = store.engine->keys;
  keys.verified_v3 = header;
  std::memset(keys.verified_header, 0, sizeof keys.verified_header);
  std::memcpy(keys.verified_header, header.data(),
              std::min(header.size(), sizeof keys.verified_header));
  std::vector<SlotFrame> slots;
  std::string ignored;
  if (parse_v3_header(header, slots, ignored) != 0) return;
  const auto public_of = [&](const SlotFrame& slot) {
    return header.data() + slot.after_label() + v3::kPublicAt;
  };
  if (opened >= slots.size()) {
    opened = 0;
    for (std::size_t i = 0; i < slots.size(); ++i) {
      if (std::memcmp(public_of(slots[i]), keys.opened_public, 32) == 0) opened = i;
    }
  }
  std::memcpy(keys.opened_public, public_of(slots[opened]), 32);
}

namespace {

// The header the key was verified with, but for its generation.
bool same_but_generation(const std::vector<unsigned char>& verified,
                         const std::vector<unsigned char>& header) {
  const auto same_from = [&](std::size_t from, std::size_t to) {
    return std::equal(verified.begin() + static_cast<long>(from),
                      verified.begin() + static_cast<long>(to),
                      header.begin() + static_cast<long>(from));
  };
  return header.size() == verified.size() && same_from(0, v3::kGenerationOffset) &&
         same_from(v3::kSlotCountOffset, header.size());
}

// What the Store's key says of a header of the same store (store_id as
// verified) that is not the verified one but for its generation.
enum class KeyVerdict { opened_slot_holds, other_slot_holds, none_holds };

KeyVerdict judge_by_key(Store& store, const std::vector<unsigned char>& header) {
  const std::vector<unsigned char>& verified = store.engine->keys.verified_v3;
  std::vector<SlotFrame> slots;
  std::string ignored;
  SecretBytes<format::kKeySize> key;
  if (verified.size() < static_cast<std::size_t>(v3::kSlotsOffset) ||
      std::memcmp(verified.data() + v3::kStoreIdOffset, header.data() + v3::kStoreIdOffset,
                  format::kStoreIdSize) != 0 ||
      parse_v3_header(header, slots, ignored) != 0 || get_store_key(store, key.data()) != 0) {
    return KeyVerdict::none_holds;
  }
  KeyVerdict verdict = KeyVerdict::none_holds;
  for (const SlotFrame& slot : slots) {
    if (!v3_slot_mac_holds(header, slot, key.data())) continue;
    const unsigned char* slot_public = header.data() + slot.after_label() + v3::kPublicAt;
    if (std::memcmp(slot_public, store.engine->keys.opened_public, 32) == 0) {
      return KeyVerdict::opened_slot_holds;
    }
    verdict = KeyVerdict::other_slot_holds;
  }
  return verdict;
}

}  // namespace

bool still_version3_header(Store& store, const std::vector<unsigned char>& header,
                           std::string& error) {
  const std::vector<unsigned char>& verified = store.engine->keys.verified_v3;
  if (verified.empty()) {
    detail::fail(error, Status::changed, kFormatChangedSinceOpen);
    return false;
  }
  // A rewrite draws a new generation and keeps every other byte.
  if (same_but_generation(verified, header)) return true;
  // A grant (or a header rewrite that dropped broken slots) keeps the slot
  // this Store opened through as it was; a password change of that slot
  // leaves only others under the key; a revocation leaves none.
  const bool same_store =
      header.size() >= static_cast<std::size_t>(v3::kSlotsOffset) &&
      verified.size() >= static_cast<std::size_t>(v3::kSlotsOffset) &&
      std::memcmp(verified.data() + v3::kStoreIdOffset, header.data() + v3::kStoreIdOffset,
                  format::kStoreIdSize) == 0;
  switch (same_store ? judge_by_key(store, header) : KeyVerdict::other_slot_holds) {
    case KeyVerdict::opened_slot_holds:
      return true;
    case KeyVerdict::other_slot_holds:
      detail::fail(error, Status::wrong_password, "Invalid password");
      return false;
    case KeyVerdict::none_holds:
      break;
  }
  detail::fail(error, Status::changed, kKeyChangedSinceOpen);
  return false;
}

bool v3_key_holds(Store& store, const std::vector<unsigned char>& header) {
  const std::vector<unsigned char>& verified = store.engine->keys.verified_v3;
  if (verified.empty()) return false;
  return same_but_generation(verified, header) ||
         judge_by_key(store, header) != KeyVerdict::none_holds;
}

}  // namespace kel::detail
