// Key slots: several keys that each open one format-3 store. Every slot
// wraps the same store key to an X25519 public key of its own; what opens
// that slot's secret side depends on its kind:
//   password               a password, through Argon2id;
//   recipient              an identity (an X25519 secret key) its holder
//                          keeps in a file, with no password at all;
//   password_and_key_file  a password combined with the SHA-256 of a key
//                          file before Argon2id: neither opens it alone.
// A store holds 1 to kMaxKeySlots slots. Adding a slot (Safe::grant_*)
// needs the store opened by any slot; removing one (Safe::revoke_slot)
// draws a new store key in the same rewrite, so that the removed key opens
// nothing written from then on. Formats 1 and 2 have one password and no
// slots: the slot calls refuse them with Status::invalid_argument.
//
// Text forms. A public key (what a recipient hands out, and what
// grant_recipient takes) is one line of printable ASCII that can be pasted
// into a chat or a commit. An identity file holds the secret key in text,
// with its public key in a comment line; it is a secret, written 0600.
// Every call here reports a Status; the error text is for people.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kel/export.h"
#include "kel/status.h"

namespace kel {

inline constexpr std::size_t kMaxKeySlots = 16;
// A slot's label: 0 to 64 bytes, any bytes but NUL and line breaks.
inline constexpr std::size_t kMaxSlotLabel = 64;

enum class SlotKind : int {
  // A kind this library does not know: kept as it is, never used to open.
  unknown = 0,
  password = 1,
  recipient = 2,
  password_and_key_file = 3,
};

// One slot of a store's header, as Safe::list_slots reports it. Nothing in
// it is secret.
struct SlotInfo {
  // The slot's place in the header, from 0: what revoke_slot takes.
  std::size_t index = 0;
  SlotKind kind = SlotKind::unknown;
  std::string label;
  // When the slot was made, in Unix seconds.
  std::int64_t created = 0;
  // The slot's public key in its text form (for a recipient slot, the
  // recipient's own public key).
  std::string public_key;
  // Whether the slot belongs to this store and its current store key (its
  // MAC holds). A damaged slot, or one copied from another store or from
  // before a revocation, is false: it opens nothing and is dropped by the
  // next rewrite of the header.
  bool intact = true;
  // Whether this Safe opened the store through this slot.
  bool opened_here = false;
};

// A new identity: the text of an identity file (a secret: the caller wipes
// it once written) and its public key's text.
KEL_SAFE_EXPORT Status generate_identity(std::string& identity_text, std::string& public_key,
                                         std::string& error);

// The public key of the identity in `identity_text` (an identity file's
// whole text). invalid_argument when the text holds no valid identity.
KEL_SAFE_EXPORT Status identity_public_key(const std::string& identity_text,
                                           std::string& public_key, std::string& error);

// ok when `public_key` is a valid public key text (surrounding white space
// allowed); invalid_argument, with what is wrong, otherwise.
KEL_SAFE_EXPORT Status check_public_key(const std::string& public_key, std::string& error);

}  // namespace kel
