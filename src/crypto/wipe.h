// The one wipe: how every buffer that held a secret (a plain store key, a
// password, a plain name or value) is overwritten, in the library and in the
// tool alike.
//
// A memset just before a buffer is freed or its object dies is a dead store,
// which the compiler may drop, and g++ does once it sees the object deleted.
// The stores of wipe() are kept whatever follows them. A wipe cannot fail
// and reports nothing. One pass of zeros takes a secret out of memory; a
// pass of another byte before it is made only where the library's
// documented wipes ask for one (Store::mem_clear, the release of an entry's
// value), so that a large value costs one pass, not three.
//
// The routine is this header alone, inline, and uses nothing but the C++
// standard library: the tool includes it as well (the shared library
// exports none of its internals, and a wipe is no part of its interface),
// and a test sees the very code that every call site runs.
#pragma once

#include <cstddef>
#include <cstring>

namespace kel::detail {

// Fills the buffer, then hands its address to an empty asm statement that
// clobbers memory: the compiler must assume the bytes are read there, so the
// fill is a real store even when the buffer dies right after.
inline void fill_kept(void* buffer, std::size_t length, unsigned char byte) noexcept {
  std::memset(buffer, byte, length);
  asm volatile("" : : "r"(buffer) : "memory");
}

// Overwrites the `length` bytes at `buffer` with zeros. When `first` is not
// zero they are overwritten with that byte first, then with zeros; both
// passes are real stores. A null `buffer` or a zero `length` touches nothing.
inline void wipe(void* buffer, std::size_t length, unsigned char first = 0) noexcept {
  if (buffer == nullptr || length == 0) return;
  if (first != 0) fill_kept(buffer, length, first);
  fill_kept(buffer, length, 0x00);
}

}  // namespace kel::detail
