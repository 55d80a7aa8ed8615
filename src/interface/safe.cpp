#include "kel/safe.h"

#include "engine/engine.h"
#include "engine/locked_store.h"
#include "interface/call_status.h"
#include "kel/store.h"

namespace kel {

Safe::Safe() : store(detail::new_locked_store()) {}

Safe::Safe(const std::string& name, const std::string& password)
    : store(detail::new_locked_store(name, password)) {}

Safe::~Safe() {
  detail::forget(*this);
  detail::delete_locked_store(store);
}

Status Safe::status() const { return detail::status_of(*this); }

void Safe::use_store_file(const std::string& path) { store->file_path = path; }

void Safe::set_scan_threads(unsigned threads) {
  detail::engine(*store).scan_threads = threads > 1 ? threads : 1;
}

void Safe::set_kdf_threads(unsigned threads) {
  detail::engine(*store).kdf_threads = threads > 1 ? threads : 1;
}

std::string_view Safe::version() const { return "1.0.0"; }

}  // namespace kel
