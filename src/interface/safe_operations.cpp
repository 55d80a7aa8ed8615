// Every Safe operation is one call into the Safe's Store, or into the
// engine part that works on it.
#include <string>

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

namespace kel {

namespace {

// How a value's source is named in error texts.
std::string descriptor_label(int fd) { return "descriptor " + std::to_string(fd); }

}  // namespace

bool Safe::exists(const std::string& name) { return store->exists(name); }

int Safe::exists(const std::string& name, std::string& error) {
  return detail::exists(*store, name, error);
}

int Safe::create_safe(std::string& error) { return store->create_store(error); }

int Safe::create_safe(const StoreOptions& options, std::string& error) {
  return detail::create_store(*store, options, error);
}

int Safe::format_info(FormatInfo& info, std::string& error) {
  return detail::format_info(*store, info, error);
}

int Safe::format_version(std::string& error) {
  FormatInfo info;
  return detail::format_info(*store, info, error) == 0 ? info.version : -1;
}

int Safe::upgrade(const StoreOptions& options, std::string& error) {
  return detail::upgrade_store(*store, options, error);
}

bool Safe::key_verified(std::string& error) {
  return store->verify_store_password(error);
}

int Safe::change_key(const std::string& name, const std::string& old_password,
                     const std::string& new_password, std::string& error) {
  return store->change_store_password(name, old_password, new_password, error);
}

int Safe::add_entry(const Entry& entry, std::string& error) {
  if (entry.holder == nullptr) {  // moved from: it has no name to store
    error = "Invalid entry name";
    return -1;
  }
  const SafeEntry& data = *entry.holder;
  return store->add_item(data.name, data.value_data, data.value_length, error);
}

int Safe::get_entry(Entry& entry, std::string& error) {
  if (entry.holder == nullptr) {
    error = "Invalid entry name";
    return -1;
  }
  return detail::get_item_into(*store, *entry.holder, error);
}

int Safe::list_entries(std::vector<std::string>& names, std::string& error) {
  return store->list_items(names, error);
}

int Safe::remove_entry(const std::string& name, std::string& error) {
  return store->remove_item(name, error);
}

int Safe::add_entry_from_file(const std::string& name, const std::string& path,
                              std::string& error) {
  return store->add_item_from_file(name, path, error);
}

int Safe::add_entry_from_file(const std::string& name, const std::string& path,
                              std::string& error, const Progress& progress) {
  return detail::add_item_from_file(*store, name, path, error, progress);
}

int Safe::add_entry_from_fd(const std::string& name, int fd, std::string& error) {
  return detail::add_item_from_descriptor(*store, name, fd, descriptor_label(fd), error,
                                          Progress());
}

int Safe::set_entry_from_fd(const std::string& name, int fd, std::string& error) {
  return detail::replace_item_from_descriptor(*store, name, fd, descriptor_label(fd), true,
                                              error);
}

int Safe::get_entry_to_fd(const std::string& name, int fd, std::string& error) {
  return detail::get_item_to_fd(*store, name, fd, error, Progress());
}

int Safe::get_entry_to_fd(const std::string& name, int fd, std::string& error,
                          const Progress& progress) {
  return detail::get_item_to_fd(*store, name, fd, error, progress);
}

int Safe::check(IntegrityReport& report, std::string& error) {
  return detail::check(*store, report, error);
}

int Safe::repair(IntegrityReport& report, std::string& error) {
  return detail::repair(*store, report, error);
}

int Safe::get_entry_to_stream(const std::string& name, int fd, std::string& error) {
  return detail::get_item_to_stream(*store, name, fd, error);
}

}  // namespace kel
