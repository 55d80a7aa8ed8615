// Each Safe's last code, kept beside the Safe: its layout is part of the
// library's interface, so it has no room for the code itself. Only failures
// are kept, so a process whose calls succeed never takes the lock.
#include "interface/call_status.h"

#include <atomic>
#include <cstddef>
#include <mutex>
#include <unordered_map>

#include "kel/safe.h"
#include "engine/file/io.h"
#include "store/status_note.h"

namespace kel::detail {

namespace {

struct Kept {
  std::mutex mutex;
  std::unordered_map<const Safe*, Status> failed;
  // How many Safes have a failure kept; read without the lock to skip it.
  std::atomic<std::size_t> count{0};
};

// Never destroyed: a Safe may outlive static destruction.
Kept& kept() {
  static Kept* table = new Kept;
  return *table;
}

// The code of a failed call: the one its failing site noted. A failure
// whose site noted none is still a failure, of a kind nobody foresaw.
Status failure_code() noexcept {
  const Status noted = current_status();
  return noted == Status::ok ? Status::internal : noted;
}

}  // namespace

SafeCall::SafeCall(const Safe& safe) noexcept : safe_(safe) {
  set_status(Status::ok);
  clear_write_step();
  io::clear_recorded_error();
}

int SafeCall::result(int result) noexcept {
  keep(result < 0 ? failure_code() : Status::ok);
  return result;
}

bool SafeCall::verdict(bool yes) noexcept {
  keep(yes ? Status::ok : failure_code());
  return yes;
}

bool SafeCall::found(bool yes) noexcept {
  keep(yes                              ? Status::ok
       : current_status() == Status::ok ? Status::not_found
                                        : current_status());
  return yes;
}

void SafeCall::keep(Status code) noexcept {
  Kept& table = kept();
  if (code == Status::ok) {
    if (table.count.load(std::memory_order_acquire) == 0) return;
    forget(safe_);
    return;
  }
  try {
    std::lock_guard<std::mutex> guard(table.mutex);
    if (table.failed.insert_or_assign(&safe_, code).second)
      table.count.fetch_add(1);
  } catch (...) {
    // Out of memory: the call's result and text still tell that it failed.
  }
}

Status status_of(const Safe& safe) noexcept {
  Kept& table = kept();
  if (table.count.load(std::memory_order_acquire) == 0) return Status::ok;
  std::lock_guard<std::mutex> guard(table.mutex);
  auto found = table.failed.find(&safe);
  return found == table.failed.end() ? Status::ok : found->second;
}

void forget(const Safe& safe) noexcept {
  Kept& table = kept();
  if (table.count.load(std::memory_order_acquire) == 0) return;
  std::lock_guard<std::mutex> guard(table.mutex);
  if (table.failed.erase(&safe) != 0) table.count.fetch_sub(1);
}

}  // namespace kel::detail
