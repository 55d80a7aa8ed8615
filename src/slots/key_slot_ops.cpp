#include "slots/key_slot_ops.h"

#include <cstring>

#include "crypto/primitives.h"
#include "crypto/store_key.h"
#include "engine/engine.h"
#include "engine/file/io.h"
#include "engine/index/current_file.h"
#include "engine/index/index_scan.h"
#include "engine/keyring/header_reader.h"
#include "engine/keyring/header_v3.h"
#include "items/new_key_rewrite.h"
#include "items/rewrite_operation.h"
#include "slots/identity_text.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel::detail {

namespace {

namespace v3 = format::v3;

const unsigned char* public_of(const std::vector<unsigned char>& header, const SlotFrame& slot) {
  return header.data() + slot.after_label() + v3::kPublicAt;
}

// Opens the store and checks it is in format 3; `what` begins the message.
int open_version3(Store& store, const std::string& what, std::string& error) {
  if (store.open_store(error) != 0) return -1;
  if (store.engine->keys.format_version != 3) {
    return fail(error, Status::invalid_argument,
                what + ": the store is in format " +
                    std::to_string(store.engine->keys.format_version) +
                    ", which has no key slots; upgrade it to format 3");
  }
  return 0;
}

// The format-3 header at the store's path now, read under the shared lock
// (unless this Store holds the write lock), and checked to be under this
// Store's key.
int current_header(Store& store, std::vector<unsigned char>& header,
                   std::vector<SlotFrame>& slots, std::string& error) {
  bool read_only = false;
  io::UniqueFd fd(io::open_store_file(store.file_path, read_only));
  if (!fd.valid()) {
    return fail(error, Status::io_error, "Could not open store: " + store.file_path + " - " +
                                       io::error_text(errno));
  }
  const int read = read_v3_header(fd.get(), header, store.engine->write_locks == 0, error);
  if (read < 0) return -1;
  if (read == 1) return fail(error, Status::changed, kFormatChangedSinceOpen);
  if (parse_v3_header(header, slots, error) != 0) return -1;
  if (!v3_key_holds(store, header)) return fail(error, Status::changed, kKeyChangedSinceOpen);
  return 0;
}

// The slots of `header` whose MAC holds under `key`, in order.
std::vector<bool> intact_slots(const std::vector<unsigned char>& header,
                               const std::vector<SlotFrame>& slots, const unsigned char* key) {
  std::vector<bool> intact;
  for (const SlotFrame& slot : slots) intact.push_back(v3_slot_mac_holds(header, slot, key));
  return intact;
}

std::vector<unsigned char> slot_bytes(const std::vector<unsigned char>& header,
                                      const SlotFrame& slot) {
  return {header.begin() + static_cast<long>(slot.offset),
          header.begin() + static_cast<long>(slot.offset + slot.length)};
}

// Reads the header under the lock held by the rewrite: the file's own.
int locked_header(Store& store, std::vector<unsigned char>& header,
                  std::vector<SlotFrame>& slots, std::string& error) {
  const int read = read_v3_header(store.store_fd, header, false, error);
  if (read < 0) return -1;
  if (read == 1) return fail(error, Status::changed, kFormatChangedSinceOpen);
  return parse_v3_header(header, slots, error);
}

}  // namespace

int list_slots(Store& store, std::vector<SlotInfo>& out, std::string& error) {
  if (open_version3(store, "Could not list key slots", error) != 0) return -1;
  std::vector<unsigned char> header;
  std::vector<SlotFrame> slots;
  if (current_header(store, header, slots, error) != 0) return -1;
  SecretBytes<format::kKeySize> key;
  if (get_store_key(store, key.data()) != 0) {
    return fail(error, Status::internal, "Could not get store key");
  }
  out.clear();
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const SlotFrame& slot = slots[i];
    SlotInfo info;
    info.index = i;
    info.kind = slot.kind >= 1 && slot.kind <= 3 ? static_cast<SlotKind>(slot.kind)
                                                  : SlotKind::unknown;
    info.label.assign(reinterpret_cast<const char*>(header.data() + slot.offset + v3::kLabelAt),
                      slot.label_length);
    info.created = format::get_i64(header.data() + slot.offset + v3::kCreatedAt);
    info.public_key = public_key_text(public_of(header, slot));
    info.intact = v3_slot_mac_holds(header, slot, key.data());
    info.opened_here =
        info.intact &&
        std::memcmp(public_of(header, slot), store.engine->keys.opened_public, 32) == 0;
    out.push_back(std::move(info));
  }
  return 0;
}

int grant_slot(Store& store, const SlotMaker& make, const unsigned char* recipient,
               std::string& error) {
  const std::string prefix = "Could not grant a key slot";
  if (open_version3(store, prefix, error) != 0) return -1;
  SecretBytes<format::kKeySize> key;
  if (get_store_key(store, key.data()) != 0) {
    return fail(error, Status::internal, "Could not get store key");
  }
  unsigned char store_id[format::kStoreIdSize];
  std::memcpy(store_id, store.engine->keys.store_id, sizeof store_id);
  // The derivation of a password slot takes its time before the lock.
  std::vector<unsigned char> fresh;
  if (make(key.data(), store_id, fresh, error) != 0) return -1;
  const RewriteMessages messages{"Could not obtain file lock to grant a key slot: ",
                                 "Store file is damaged, could not grant a key slot; "
                                 "repair it first"};
  return run_rewrite(
      store, messages,
      [&](const unsigned char* held, RecordChanges& changes, std::string& text) {
        std::vector<unsigned char> header;
        std::vector<SlotFrame> slots;
        if (locked_header(store, header, slots, text) != 0) return -1;
        if (std::memcmp(header.data() + v3::kStoreIdOffset, store_id, sizeof store_id) != 0 ||
            std::memcmp(held, key.data(), format::kKeySize) != 0) {
          return fail(text, Status::changed, std::string(kKeyChangedSinceOpen));
        }
        std::vector<std::vector<unsigned char>> kept;
        for (const SlotFrame& slot : slots) {
          if (!v3_slot_mac_holds(header, slot, held)) continue;  // dropped
          // Any kind: a recipient slot for a password slot's public key
          // would let that password's secret key open the store after the
          // password slot is revoked.
          if (recipient != nullptr && std::memcmp(public_of(header, slot), recipient, 32) == 0) {
            return fail(text, Status::exists,
                        prefix + ": the store has a slot for that public key already");
          }
          kept.push_back(slot_bytes(header, slot));
        }
        if (kept.empty()) return fail(text, Status::changed, std::string(kKeyChangedSinceOpen));
        if (kept.size() >= v3::kMaxSlots) {
          return fail(text, Status::invalid_argument,
                      prefix + ": the store holds " + std::to_string(v3::kMaxSlots) +
                          " key slots, the most it can");
        }
        kept.push_back(fresh);
        unsigned char generation[v3::kGenerationSize];
        if (gen_random(generation, sizeof generation, text) != 0) {
          return fail(text, Status::internal, "Could not generate store generation");
        }
        changes.header = assemble_v3_header(store_id, generation, kept);
        return 0;
      },
      error);
}

int rekey_v3_header(const std::vector<unsigned char>& current, const unsigned char* old_key,
                    const unsigned char* new_key, std::size_t replaced,
                    const std::vector<unsigned char>* replacement,
                    std::vector<unsigned char>& out, std::string& error) {
  std::vector<SlotFrame> slots;
  if (parse_v3_header(current, slots, error) != 0) return -1;
  std::vector<std::vector<unsigned char>> kept;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (i == replaced) {
      if (replacement != nullptr) kept.push_back(*replacement);
      continue;
    }
    if (!v3_slot_mac_holds(current, slots[i], old_key)) continue;
    // A slot of the same public key as the one removed (a copy put into
    // the header) opens with the same secret: it goes with it.
    if (replaced < slots.size() &&
        std::memcmp(public_of(current, slots[i]), public_of(current, slots[replaced]), 32) == 0) {
      continue;
    }
    std::vector<unsigned char> slot;
    if (rewrap_v3_slot(current, slots[i], new_key, slot, error) != 0) return -1;
    kept.push_back(std::move(slot));
  }
  if (kept.empty()) {
    return fail(error, Status::invalid_argument,
                "Could not revoke key slot " + std::to_string(replaced) +
                    ": it is the last intact slot of the store");
  }
  unsigned char generation[v3::kGenerationSize];
  if (gen_random(generation, sizeof generation, error) != 0) {
    return fail(error, Status::internal, "Could not generate store generation");
  }
  out = assemble_v3_header(current.data() + v3::kStoreIdOffset, generation, kept);
  return 0;
}

int revoke_slot(Store& store, std::size_t index, std::string& error) {
  const std::string prefix = "Could not revoke key slot " + std::to_string(index);
  if (open_version3(store, prefix, error) != 0) return -1;
  std::vector<unsigned char> header;
  std::vector<SlotFrame> slots;
  if (current_header(store, header, slots, error) != 0) return -1;
  if (index >= slots.size()) {
    return fail(error, Status::not_found,
                prefix + ": the store has " + std::to_string(slots.size()) + " key slots");
  }
  SecretBytes<format::kKeySize> key;
  if (get_store_key(store, key.data()) != 0) {
    return fail(error, Status::internal, "Could not get store key");
  }
  const std::vector<bool> intact = intact_slots(header, slots, key.data());
  std::size_t others = 0;
  for (std::size_t i = 0; i < slots.size(); ++i) others += (i != index && intact[i]) ? 1 : 0;
  if (others == 0) {
    return fail(error, Status::invalid_argument, prefix + ": it is the last intact slot");
  }
  // The slot is found again under the lock by its bytes: slots granted or
  // dropped meanwhile move it.
  const std::vector<unsigned char> target = slot_bytes(header, slots[index]);
  SecretBytes<format::kKeySize> new_key;
  if (gen_random(new_key.data(), format::kKeySize, error) != 0) {
    return fail(error, Status::internal, "Could not generate store key");
  }
  NewKeyRewrite rewrite;
  rewrite.messages = {"Could not obtain file lock to revoke a key slot: ",
                      "Store file is damaged, could not revoke a key slot; repair it first"};
  rewrite.format_version = 3;
  rewrite.other_format = prefix + ": the store file was replaced by one in another format";
  rewrite.new_key = new_key.data();
  rewrite.make_header = [&](const unsigned char* held, std::vector<unsigned char>& out,
                            std::string& text) {
    std::vector<unsigned char> now;
    std::vector<SlotFrame> now_slots;
    if (locked_header(store, now, now_slots, text) != 0) return -1;
    for (std::size_t i = 0; i < now_slots.size(); ++i) {
      if (slot_bytes(now, now_slots[i]) == target) {
        return rekey_v3_header(now, held, new_key.data(), i, nullptr, out, text);
      }
    }
    return fail(text, Status::changed,
                prefix + ": the store's key slots changed meanwhile; list them again");
  };
  return rewrite_under_new_key(store, rewrite, error);
}

}  // namespace kel::detail
