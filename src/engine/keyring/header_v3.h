// Format 3's header: a store identifier, a generation that every rewrite
// draws anew, and up to 16 key slots, each of which wraps the one store key
// to an X25519 public key of its own. All integers little-endian.
//
//   magic[8] version[4, = 3] header_length[4] store_id[16] generation[16]
//   slot_count[2, 1..16] reserved[2, zero] slots (back to back)
//
// header_length = 52 + the slots' lengths; records start there. A slot:
//
//   kind[1] reserved[1, zero] slot_length[2] created[8, unix seconds]
//   label_length[1, 0..64] label[L] slot_public[32] ephemeral_public[32]
//   wrap_nonce[12] wrapped_store_key[32] wrap_tag[16]
//   (kind 1, password:) kdf_memory_kib[4] kdf_passes[4] kdf_lanes[4]
//                       kdf_salt[16] secret_nonce[12] sealed_secret[32]
//                       secret_tag[16]
//   slot_mac[32]
//
// Wrap: W = HKDF-SHA256(X25519(e, P), salt E||P, info "kel-safe store key"
// || store_id); the store key sealed under W with store_id || P as
// associated data. Password kind: K = Argon2id(password, salt, memory,
// passes, lanes, 32 bytes, version 0x13, no secret or associated data); the
// slot's secret key sealed under K with store_id || P || the 12 parameter
// bytes as associated data. slot_mac = HMAC-SHA256(HKDF-SHA256(store key,
// no salt, info "kel-safe slot mac"), store_id || every slot byte before
// the MAC): a slot moved from another store, or kept from before a key
// change, fails it, and is never written again (a slot from before a key
// change still opens the old key to its holder, which opens no record since).
//
// Kind 2, recipient: the common part alone (169 + L bytes); P is the
// recipient's own public key, and its holder opens the slot with the
// secret key of that identity: X25519(sk, E) gives W as above. Only slots
// whose P is the identity's public key are tried.
// Kind 3, password and key file: kind 1's layout and construction, but the
// Argon2id input is C = SHA-256(SHA-256(password) || SHA-256(the key file's
// whole content)), 32 bytes, wiped after use: neither the password nor the
// key file alone opens it.
// A rewrite of the header (a grant) keeps only the slots whose MAC holds
// under the store key: a damaged or foreign slot is dropped then. A
// revocation draws a new store key and keeps the store_id: every remaining
// slot gets a fresh ephemeral key, its store key wrapped anew and a new MAC
// (a password slot's sealed secret binds store_id and P, which stay).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kel/store.h"
#include "engine/keyring/credential.h"
#include "engine/keyring/header_v2.h"
#include "engine/records/format.h"

namespace kel::format::v3 {

inline constexpr std::uint32_t kVersion = 3;
inline constexpr long kHeaderLengthOffset = 12;
inline constexpr long kStoreIdOffset = 16;
inline constexpr long kGenerationOffset = 32;
inline constexpr long kSlotCountOffset = 48;
inline constexpr long kSlotsOffset = 52;
inline constexpr std::size_t kGenerationSize = 16;
inline constexpr std::size_t kMaxSlots = 16;
inline constexpr std::size_t kMaxLabel = 64;
inline constexpr unsigned kPasswordSlot = 1;
inline constexpr unsigned kRecipientSlot = 2;
inline constexpr unsigned kKeyFileSlot = 3;
// Offsets inside a slot; those after the label are relative to its end
// (13 + label length).
inline constexpr long kSlotLengthAt = 2;
inline constexpr long kCreatedAt = 4;
inline constexpr long kLabelLengthAt = 12;
inline constexpr long kLabelAt = 13;
inline constexpr long kPublicAt = 0;
inline constexpr long kEphemeralAt = 32;
inline constexpr long kWrapNonceAt = 64;
inline constexpr long kWrappedKeyAt = 76;
inline constexpr long kWrapTagAt = 108;
inline constexpr long kKindPartAt = 124;
// The password kind's part, after the wrap.
inline constexpr long kParamsAt = 0;
inline constexpr long kSaltAt = 12;
inline constexpr long kSecretNonceAt = 28;
inline constexpr long kSealedSecretAt = 40;
inline constexpr long kSecretTagAt = 72;
inline constexpr long kPasswordPartSize = 88;
inline constexpr std::size_t kMacSize = 32;
// A password slot with an L-byte label is 257 + L bytes.
constexpr std::size_t password_slot_size(std::size_t label) {
  return kLabelAt + label + kKindPartAt + kPasswordPartSize + kMacSize;
}
static_assert(password_slot_size(0) == 257);
// A recipient slot with an L-byte label is 169 + L bytes.
constexpr std::size_t recipient_slot_size(std::size_t label) {
  return kLabelAt + label + kKindPartAt + kMacSize;
}
static_assert(recipient_slot_size(0) == 169);
// The largest header a reader accepts: every slot at the largest length
// its two-byte field can give.
inline constexpr std::size_t kMaxHeaderLength = kSlotsOffset + kMaxSlots * 0xFFFF;

}  // namespace kel::format::v3

namespace kel::detail {

// One slot as the header frame lays it out.
struct SlotFrame {
  unsigned kind = 0;
  std::size_t offset = 0;  // in the header
  std::size_t length = 0;
  std::size_t label_length = 0;
  // Where the part after the label starts, in the header.
  std::size_t after_label() const { return offset + format::v3::kLabelAt + label_length; }
  // Where the slot's MAC starts, in the header.
  std::size_t mac_at() const { return offset + length - format::v3::kMacSize; }
};

// Whether the bytes begin a format-3 header (magic and version).
bool is_version3_header(const unsigned char* header);

// The header_length field of a format-3 header (its first 16 bytes).
std::uint32_t v3_header_length(const unsigned char* header);

// Checks the frame of the format-3 header `header` (all of its bytes):
// lengths, slot count, reserved bytes, and each slot's length for its kind.
// The slots, in order; -1 with "Store header damaged: ..." (damaged) when
// the frame does not hold. Kinds this library does not know are listed
// with their length and skipped by every reader.
int parse_v3_header(const std::vector<unsigned char>& header, std::vector<SlotFrame>& slots,
                    std::string& error);

// Reads the whole format-3 header of `fd` (under the shared lock when
// `locked`) into `header`: 0; 1 when the file is not format 3; -1 with
// errno on a failed read, or with the message (damaged) when the header
// length is out of bounds or runs past the end of the file.
int read_v3_header(int fd, std::vector<unsigned char>& header, bool locked,
                   std::string& error);

// A new password slot for the store key `key` of the store `store_id`,
// with a fresh key pair, under `password` with `params` (one derivation on
// up to `threads` threads).
int make_password_slot(const unsigned char* key, const unsigned char* store_id,
                       const std::string& password, const KdfParams& params,
                       unsigned threads, std::string_view label,
                       std::vector<unsigned char>& slot, std::string& error);

// The same kind of slot (kind 3) under `password` combined with the
// SHA-256 `key_file_hash` of a key file.
int make_key_file_slot(const unsigned char* key, const unsigned char* store_id,
                       const std::string& password, const unsigned char* key_file_hash,
                       const KdfParams& params, unsigned threads, std::string_view label,
                       std::vector<unsigned char>& slot, std::string& error);

// A recipient slot (kind 2) for the X25519 public key `recipient`.
int make_recipient_slot(const unsigned char* key, const unsigned char* store_id,
                        const unsigned char* recipient, std::string_view label,
                        std::vector<unsigned char>& slot, std::string& error);

// invalid_argument unless `label` is a slot label: at most 64 bytes, no
// NUL and no line breaks.
int check_slot_label(std::string_view label, std::string& error);

// `slot` of `header` (whose MAC the caller checked) for the new store key
// `new_key` of the same store: a fresh ephemeral key and nonce, the key
// wrapped anew to the slot's own P, a new MAC; every other byte kept.
int rewrap_v3_slot(const std::vector<unsigned char>& header, const SlotFrame& slot,
                   const unsigned char* new_key, std::vector<unsigned char>& out,
                   std::string& error);

// A whole header from its fields and slots (1 to 16, each complete).
std::vector<unsigned char> assemble_v3_header(const unsigned char* store_id,
                                              const unsigned char* generation,
                                              const std::vector<std::vector<unsigned char>>& slots);

// A new format-3 header for the store key `key`: a fresh identifier and
// generation and one password slot (no label) under `password` with
// `params`.
int seal_v3_header(const unsigned char* key, const std::string& password,
                   const KdfParams& params, unsigned threads,
                   std::vector<unsigned char>& header, std::string& error);

// The same header with a fresh generation. -1 when no randomness could be
// had.
int new_generation(std::vector<unsigned char>& header, std::string& error);

// Opens the store key of the format-3 `header` with `password` into `key`:
// the first password slot whose parameters are within the bounds, whose
// secret key opens under the password, whose wrapped key opens and whose
// MAC holds. "Invalid password" (wrong_password) when no slot's secret key
// opens, as format 2 says it; damaged, with the slot named, when the
// password opened a slot's secret key but the rest of that slot is broken
// and no other slot opens. `opened` (when not null) receives the index of
// the slot that opened.
// With a `credential` other than the password: a key file opens only
// password-and-key-file slots (with the password, "Invalid password" when
// none opens), an identity only the recipient slots of its public key
// ("No key slot of this store opens with this identity").
int open_v3_header(const std::vector<unsigned char>& header, const std::string& password,
                   unsigned threads, unsigned char* key, std::string& error,
                   std::size_t* opened = nullptr, const Credential* credential = nullptr);

// Whether `slot` of `header` carries a MAC that holds under the store key
// `key`: it belongs to this store and this store key.
bool v3_slot_mac_holds(const std::vector<unsigned char>& header, const SlotFrame& slot,
                       const unsigned char* key);

// The Argon2id parameters of the password slot `slot`.
KdfParams v3_slot_params(const std::vector<unsigned char>& header, const SlotFrame& slot);

// Makes the format-3 `header` (checked by parse_v3_header) the Store's
// header: its identifier, generation and records' start, the parameters of
// its first password slot (for what format_info reports), and the whole
// header. The format-1 and format-2 members are zeroed.
void load_v3_header(Store& store, const std::vector<unsigned char>& header,
                    const std::vector<SlotFrame>& slots);

// Makes `header` the one this Store's key is known to open (after an open
// with the password, or after this Store wrote it). `opened`: the slot the
// key came through; by default the slot it came through before, when the
// header still has one of that public key, else the first.
void verify_v3_header(Store& store, const std::vector<unsigned char>& header,
                      std::size_t opened = static_cast<std::size_t>(-1));

// For an open Store: whether the format-3 header now on `fd` is still one
// its key was verified with: the same bytes, or the same slots under
// another generation (a rewrite), or (after slots were granted or dropped
// elsewhere) a header of the same store that still holds the slot this
// Store opened through, its MAC holding under the Store's key. A header
// whose slots hold under the key but no longer hold that slot (its
// password changed): "Invalid password" (wrong_password); one under
// another store key (a revocation, a rotation): changed.
bool still_version3_header(Store& store, const std::vector<unsigned char>& header,
                           std::string& error);

// Whether the Store's key opens the format-3 `header`: the same store, and
// the header the key was verified with (but for its generation) or a slot
// whose MAC holds under the key. A revocation elsewhere keeps the store_id
// but draws a new key: this tells it.
bool v3_key_holds(Store& store, const std::vector<unsigned char>& header);

}  // namespace kel::detail
