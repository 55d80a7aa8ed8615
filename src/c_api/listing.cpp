// Listing a store's names through the C interface: one snapshot taken by
// kel_list_open, walked by kel_list_next, so that a C caller frees one
// object rather than every name.
#include <cstdint>
#include <utility>
#include <vector>

#include "c_api/handle.h"
#include "crypto/wipe.h"

// The names are sealed in the store file; their plain copies are wiped.
struct kel_list {
  std::vector<std::pair<std::string, std::uint64_t>> entries;
  std::size_t next = 0;
  ~kel_list() {
    for (auto& entry : entries) kel::detail::wipe(entry.first.data(), entry.first.size());
  }
};

using namespace kel::c_api;

extern "C" {

kel_status kel_list_open(kel_safe* safe, kel_list** out, size_t* count) {
  if (out != nullptr) *out = nullptr;
  if (count != nullptr) *count = 0;
  return guarded(safe, [&](kel_safe& h) {
    if (out == nullptr) return refuse(h, KEL_INVALID_ARGUMENT, "No place for the list");
    auto list = std::make_unique<kel_list>();
    std::string error;
    const kel_status listed =
        outcome(h, *h.safe, h.safe->list_entry_lengths(list->entries, error), error);
    if (listed != KEL_OK) return listed;
    if (count != nullptr) *count = list->entries.size();
    *out = list.release();
    return KEL_OK;
  });
}

kel_status kel_list_next(kel_list* list, const unsigned char** name, size_t* name_length,
                         uint64_t* value_length) {
  if (list == nullptr || name == nullptr || name_length == nullptr) return KEL_INVALID_ARGUMENT;
  if (list->next == list->entries.size()) {
    *name = nullptr;
    *name_length = 0;
    if (value_length != nullptr) *value_length = 0;
    return KEL_OK;
  }
  const auto& entry = list->entries[list->next++];
  *name = reinterpret_cast<const unsigned char*>(entry.first.data());
  *name_length = entry.first.size();
  if (value_length != nullptr) *value_length = entry.second;
  return KEL_OK;
}

void kel_list_close(kel_list* list) { delete list; }

}  // extern "C"
