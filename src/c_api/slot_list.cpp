// A store's key slots through the C interface: one snapshot taken by
// kel_slots_open, read slot by slot through accessors, so that the layout
// of kel::SlotInfo never becomes part of the C ABI.
#include <vector>

#include "c_api/handle.h"
#include "kel/key_slots.h"

// Nothing in a slot's description is secret: no wiping here.
struct kel_slots {
  std::vector<kel::SlotInfo> slots;
};

// The C kinds are kel::SlotKind's, value for value.
#define KEL_SAME_KIND(c_kind, cpp_kind) \
  static_assert(static_cast<int>(c_kind) == static_cast<int>(kel::SlotKind::cpp_kind))
KEL_SAME_KIND(KEL_SLOT_UNKNOWN, unknown);
KEL_SAME_KIND(KEL_SLOT_PASSWORD, password);
KEL_SAME_KIND(KEL_SLOT_RECIPIENT, recipient);
KEL_SAME_KIND(KEL_SLOT_PASSWORD_AND_KEY_FILE, password_and_key_file);
#undef KEL_SAME_KIND
static_assert(KEL_MAX_KEY_SLOTS == kel::kMaxKeySlots);
static_assert(KEL_MAX_SLOT_LABEL == kel::kMaxSlotLabel);

using namespace kel::c_api;

namespace {

// Slot `i` of the list, or nullptr when there is none: the accessors then
// give their empty answers.
const kel::SlotInfo* slot_at(const kel_slots* slots, std::size_t i) {
  if (slots == nullptr || i >= slots->slots.size()) return nullptr;
  return &slots->slots[i];
}

}  // namespace

extern "C" {

kel_status kel_slots_open(kel_safe* safe, kel_slots** out, size_t* count) {
  if (out != nullptr) *out = nullptr;
  if (count != nullptr) *count = 0;
  return guarded(safe, [&](kel_safe& h) {
    if (out == nullptr) return refuse(h, KEL_INVALID_ARGUMENT, "No place for the slots");
    auto list = std::make_unique<kel_slots>();
    std::string error;
    const kel_status listed = outcome(h, *h.safe, h.safe->list_slots(list->slots, error), error);
    if (listed != KEL_OK) return listed;
    if (count != nullptr) *count = list->slots.size();
    *out = list.release();
    return KEL_OK;
  });
}

size_t kel_slots_count(const kel_slots* slots) {
  return slots == nullptr ? 0 : slots->slots.size();
}

size_t kel_slots_index(const kel_slots* slots, size_t i) {
  const kel::SlotInfo* slot = slot_at(slots, i);
  return slot == nullptr ? 0 : slot->index;
}

kel_slot_kind kel_slots_kind(const kel_slots* slots, size_t i) {
  const kel::SlotInfo* slot = slot_at(slots, i);
  if (slot == nullptr) return KEL_SLOT_UNKNOWN;
  const int kind = static_cast<int>(slot->kind);
  // A kind added to the library later reads as unknown here, as promised.
  return kind >= KEL_SLOT_PASSWORD && kind <= KEL_SLOT_PASSWORD_AND_KEY_FILE
             ? static_cast<kel_slot_kind>(kind)
             : KEL_SLOT_UNKNOWN;
}

const char* kel_slots_label(const kel_slots* slots, size_t i) {
  const kel::SlotInfo* slot = slot_at(slots, i);
  return slot == nullptr ? "" : slot->label.c_str();
}

int64_t kel_slots_created(const kel_slots* slots, size_t i) {
  const kel::SlotInfo* slot = slot_at(slots, i);
  return slot == nullptr ? 0 : slot->created;
}

const char* kel_slots_public_key(const kel_slots* slots, size_t i) {
  const kel::SlotInfo* slot = slot_at(slots, i);
  return slot == nullptr ? "" : slot->public_key.c_str();
}

int kel_slots_intact(const kel_slots* slots, size_t i) {
  const kel::SlotInfo* slot = slot_at(slots, i);
  return slot != nullptr && slot->intact ? 1 : 0;
}

int kel_slots_opened_here(const kel_slots* slots, size_t i) {
  const kel::SlotInfo* slot = slot_at(slots, i);
  return slot != nullptr && slot->opened_here ? 1 : 0;
}

void kel_slots_close(kel_slots* slots) { delete slots; }

}  // extern "C"
