// Every Safe operation is one call into the Safe's Store, or into the
// engine part that works on it.
#include <string>

#include "interface/call_status.h"
#include "items/from_descriptor.h"
#include "engine/records/value_reader.h"
#include "password/store_formats.h"
#include "items/integrity.h"
#include "items/item_writes.h"
#include "items/item_reads.h"
#include "kel/safe.h"
#include "kel/safe_entry.h"
#include "kel/store.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel {

namespace {

// How a value's source is named in error texts.
std::string descriptor_label(int fd) { return "descriptor " + std::to_string(fd); }

}  // namespace

bool Safe::exists(const std::string& name) {
  detail::SafeCall call(*this);
  return call.found(store->exists(name));
}

int Safe::exists(const std::string& name, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::exists(*store, name, error));
}

int Safe::create_safe(std::string& error) {
  detail::SafeCall call(*this);
  return call.result(store->create_store(error));
}

int Safe::create_safe(const StoreOptions& options, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::create_store(*store, options, error));
}

int Safe::format_info(FormatInfo& info, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::format_info(*store, info, error));
}

int Safe::format_version(std::string& error) {
  detail::SafeCall call(*this);
  FormatInfo info;
  return call.result(detail::format_info(*store, info, error) == 0 ? info.version : -1);
}

int Safe::upgrade(const StoreOptions& options, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::upgrade_store(*store, options, error));
}

bool Safe::key_verified(std::string& error) {
  detail::SafeCall call(*this);
  return call.verdict(store->verify_store_password(error));
}

int Safe::change_key(const std::string& name, const std::string& old_password,
                     const std::string& new_password, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(
      store->change_store_password(name, old_password, new_password, error));
}

int Safe::change_key(const std::string& name, const std::string& old_password,
                     const std::string& new_password, const StoreOptions& options,
                     std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::change_store_password(*store, name, old_password, new_password,
                                                   &options, error));
}

int Safe::rotate_key(const std::string& name, const std::string& old_password,
                     const std::string& new_password, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(
      detail::rotate_store_key(*store, name, old_password, new_password, nullptr, error));
}

int Safe::rotate_key(const std::string& name, const std::string& old_password,
                     const std::string& new_password, const StoreOptions& options,
                     std::string& error) {
  detail::SafeCall call(*this);
  return call.result(
      detail::rotate_store_key(*store, name, old_password, new_password, &options, error));
}

int Safe::add_entry(const Entry& entry, std::string& error) {
  detail::SafeCall call(*this);
  if (entry.holder == nullptr) {  // moved from: it has no name to store
    detail::fail(error, Status::invalid_argument, "Invalid entry name");
    return call.result(-1);
  }
  const SafeEntry& data = *entry.holder;
  return call.result(
      store->add_item(data.name, data.value_data, data.value_length, error));
}

int Safe::get_entry(Entry& entry, std::string& error) {
  detail::SafeCall call(*this);
  if (entry.holder == nullptr) {
    detail::fail(error, Status::invalid_argument, "Invalid entry name");
    return call.result(-1);
  }
  return call.result(detail::get_item_into(*store, *entry.holder, error));
}

int Safe::list_entries(std::vector<std::string>& names, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(store->list_items(names, error));
}

int Safe::remove_entry(const std::string& name, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(store->remove_item(name, error));
}

int Safe::add_entry_from_file(const std::string& name, const std::string& path,
                              std::string& error) {
  detail::SafeCall call(*this);
  return call.result(store->add_item_from_file(name, path, error));
}

int Safe::add_entry_from_file(const std::string& name, const std::string& path,
                              std::string& error, const Progress& progress) {
  detail::SafeCall call(*this);
  return call.result(detail::add_item_from_file(*store, name, path, error, progress));
}

int Safe::add_entry_from_fd(const std::string& name, int fd, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::add_item_from_descriptor(
      *store, name, fd, descriptor_label(fd), error, Progress()));
}

int Safe::set_entry_from_fd(const std::string& name, int fd, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::replace_item_from_descriptor(
      *store, name, fd, descriptor_label(fd), true, error));
}

int Safe::get_entry_to_fd(const std::string& name, int fd, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::get_item_to_fd(*store, name, fd, error, Progress()));
}

int Safe::get_entry_to_fd(const std::string& name, int fd, std::string& error,
                          const Progress& progress) {
  detail::SafeCall call(*this);
  return call.result(detail::get_item_to_fd(*store, name, fd, error, progress));
}

int Safe::check(IntegrityReport& report, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::check(*store, report, error));
}

int Safe::repair(IntegrityReport& report, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::repair(*store, report, error));
}

int Safe::get_entry_to_stream(const std::string& name, int fd, std::string& error) {
  detail::SafeCall call(*this);
  return call.result(detail::get_item_to_stream(*store, name, fd, error));
}

}  // namespace kel
