// The Safe operations on many entries at once, and random bytes: each is a
// call into the Safe's Store.
#include <algorithm>

#include "items/item_writes.h"
#include "items/item_reads.h"
#include "interface/call_status.h"
#include "kel/safe.h"
#include "kel/safe_entry.h"
#include "kel/store.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel {

int Safe::damaged_regions(std::vector<IntegrityReport::Region>& regions, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::damaged_regions(*store, regions, error));
}

int Safe::list_entry_lengths(std::vector<std::pair<std::string, std::uint64_t>>& entries,
                             std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::list_item_lengths(*store, entries, error));
}

int Safe::get_entries(std::vector<Entry>& entries, std::string& error) {
  detail::SafeCall call(*this);
  std::vector<std::string> names;
  names.reserve(entries.size());
  for (const Entry& entry : entries) {
    if (entry.holder == nullptr) {  // moved from: it has no name
      detail::fail(error, Status::invalid_argument, "Invalid entry name");
      return call.result(-1);
    }
    names.push_back(entry.holder->name);
  }
  std::vector<std::string> values;
  detail::StringsWiper wipe_values(values);
  if (detail::get_items(*store, names, values, error) != 0) return call.result(-1);
  for (std::size_t i = 0; i < entries.size(); ++i) entries[i].holder->set_value(values[i]);
  return call.result(0);
}

int Safe::add_entries(const std::vector<Entry>& entries, bool replace,
                      std::vector<AddOutcome>& outcomes, std::string& error) {
  detail::SafeCall call(*this);
  std::vector<const SafeEntry*> items;
  items.reserve(entries.size());
  for (const Entry& entry : entries) items.push_back(entry.holder);
  return call.result(detail::add_items(*store, items, replace, outcomes, error));
}

int Safe::apply_changes(const std::vector<Entry>& put, const std::vector<std::string>& remove,
                        std::string& error) {
  detail::SafeCall call(*this);
  std::vector<const SafeEntry*> items;
  items.reserve(put.size());
  for (const Entry& entry : put) items.push_back(entry.holder);
  return call.result(detail::apply_changes(*store, items, remove, error));
}

int Safe::random_bytes(unsigned char* buffer, std::size_t count, std::string& error) {
  detail::SafeCall call(*this);
  constexpr std::size_t kPiece = 1 << 20;
  for (std::size_t done = 0; done < count; done += kPiece) {
    const std::size_t piece = std::min(kPiece, count - done);
    if (store->gen_random(buffer + done, static_cast<int>(piece), error) != 0)
      return call.result(-1);
  }
  return call.result(0);
}

}  // namespace kel
