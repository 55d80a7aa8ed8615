// Memory for secrets that a core dump does not contain and that, where the
// process's RLIMIT_MEMLOCK allows, is never written to swap. A failed mlock
// is not an error: the memory is then only kept out of dumps.
#pragma once

#include <cstddef>
#include <new>

namespace kel::detail {

// Whole pages of their own (mmap), marked MADV_DONTDUMP and mlock'ed where
// allowed. Throws std::bad_alloc when no memory can be had.
void* allocate_locked(std::size_t size);
// Wipes `size` bytes at `memory` and gives the pages back. A small region
// may be kept, wiped, for this thread's next allocation.
void free_locked(void* memory, std::size_t size) noexcept;

// Marks the whole pages inside [memory, memory + size) MADV_DONTDUMP: for a
// large buffer from the ordinary heap (which has pages of its own).
void keep_out_of_dumps(void* memory, std::size_t size) noexcept;

// An allocator over allocate_locked, for containers of plain bytes.
template <typename T>
struct LockedAllocator {
  using value_type = T;
  LockedAllocator() = default;
  template <typename U>
  LockedAllocator(const LockedAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(allocate_locked(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { free_locked(p, n * sizeof(T)); }
  template <typename U>
  bool operator==(const LockedAllocator<U>&) const noexcept { return true; }
};

}  // namespace kel::detail
