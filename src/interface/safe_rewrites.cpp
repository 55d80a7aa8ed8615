// The Safe operations that rewrite the store file: each is one call into the
// Safe's Store.
#include "items/item_writes.h"
#include "interface/call_status.h"
#include "kel/safe.h"
#include "kel/safe_entry.h"
#include "kel/store.h"
#include "store/status_note.h"

namespace kel {

int Safe::remove_entries(const std::vector<std::string>& names, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::remove_items(*store, names, error));
}

int Safe::replace_entry(const Entry& entry, std::string& error) {
  detail::SafeCall call(*this);
  const SafeEntry* data = entry.holder;
  if (data == nullptr) {  // moved from: it has no name to store
    detail::fail(error, Status::invalid_argument, "Invalid entry name");
    return call.result(-1);
  }
  return call.result(detail::replace_item(*store, data->name, data->value_data,
                                         data->value_length, false, error));
}

int Safe::set_entry(const Entry& entry, std::string& error) {
  detail::SafeCall call(*this);
  const SafeEntry* data = entry.holder;
  if (data == nullptr) {
    detail::fail(error, Status::invalid_argument, "Invalid entry name");
    return call.result(-1);
  }
  return call.result(detail::replace_item(*store, data->name, data->value_data,
                                         data->value_length, true, error));
}

int Safe::replace_entry_from_file(const std::string& name, const std::string& path,
                                  std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::replace_item_from_file(*store, name, path, false, error));
}

int Safe::set_entry_from_file(const std::string& name, const std::string& path,
                              std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::replace_item_from_file(*store, name, path, true, error));
}

int Safe::rename_entry(const std::string& old_name, const std::string& new_name,
                       std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::rename_item(*store, old_name, new_name, error));
}

int Safe::copy_entry(const std::string& name, const std::string& new_name,
                     std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::copy_item(*store, name, new_name, error));
}

int Safe::rename_entry(const std::string& old_name, const std::string& new_name,
                       bool replace, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::rename_item(*store, old_name, new_name, replace, error));
}

int Safe::copy_entry(const std::string& name, const std::string& new_name, bool replace,
                     std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::copy_item(*store, name, new_name, replace, error));
}

std::string Safe::removal_backup_path() const { return detail::removal_backup_path(*store); }

}  // namespace kel
