#include "engine/file/locked_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "store/secret.h"

namespace kel::detail {

namespace {

std::size_t page_size() {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

std::size_t whole_pages(std::size_t size) {
  const std::size_t page = page_size();
  return (size == 0 ? 1 : (size + page - 1) / page) * page;
}

// One freed region per thread, kept (wiped, still locked) for the next
// allocation that fits: reading a small value then costs no system call.
constexpr std::size_t kKeptLimit = 1024 * 1024;
struct KeptRegion {
  void* memory = nullptr;
  std::size_t size = 0;
  ~KeptRegion() {
    if (memory != nullptr) {
      ::munlock(memory, size);
      ::munmap(memory, size);
    }
  }
};
thread_local KeptRegion kept;

}  // namespace

void* allocate_locked(std::size_t size) {
  const std::size_t length = whole_pages(size);
  if (kept.memory != nullptr && kept.size == length) {
    void* memory = kept.memory;
    kept.memory = nullptr;
    return memory;
  }
  void* memory = ::mmap(nullptr, length, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  ::madvise(memory, length, MADV_DONTDUMP);
  ::mlock(memory, length);  // best effort: the limit may not allow it
  return memory;
}

void free_locked(void* memory, std::size_t size) noexcept {
  if (memory == nullptr) return;
  const std::size_t length = whole_pages(size);
  wipe(memory, size);
  if (kept.memory == nullptr && length <= kKeptLimit) {
    kept.memory = memory;
    kept.size = length;
    return;
  }
  ::munlock(memory, length);
  ::munmap(memory, length);
}

void keep_out_of_dumps(void* memory, std::size_t size) noexcept {
  const std::uintptr_t page = page_size();
  const auto begin = reinterpret_cast<std::uintptr_t>(memory);
  const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
  const std::uintptr_t last = (begin + size) & ~(page - 1);
  if (last > first) {
    ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTDUMP);
  }
}

}  // namespace kel::detail
