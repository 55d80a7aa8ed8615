// Wiping of secrets, and a fixed-size buffer that wipes itself on every path.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "crypto/wipe.h"
#include "engine/records/format.h"
#include "engine/file/locked_memory.h"

namespace kel::detail {

// Three passes (0x00, 0x01, 0x00) over a buffer that held a plain key or
// password, kept by the compiler as wipe (crypto/wipe.h) is; null: nothing.
// Store::mem_clear is this.
void mem_clear(void* buffer, unsigned long length);

// A plain key (or other small secret) that lives on the stack and is wiped
// when it goes out of scope, however the scope is left.
template <std::size_t N>
struct SecretBytes {
  unsigned char bytes[N] = {};
  SecretBytes() = default;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { wipe(bytes, N); }
  unsigned char* data() { return bytes; }
  const unsigned char* data() const { return bytes; }
  static constexpr std::size_t size() { return N; }
};

// Wipes a string that holds (or will hold) plain bytes when the scope ends,
// however it ends.
class StringWiper {
 public:
  explicit StringWiper(std::string& bytes) : bytes_(bytes) {}
  StringWiper(const StringWiper&) = delete;
  StringWiper& operator=(const StringWiper&) = delete;
  ~StringWiper() { wipe(bytes_.data(), bytes_.size()); }

 private:
  std::string& bytes_;
};

// Wipes every string of a vector of plain values when the scope ends,
// however it ends.
class StringsWiper {
 public:
  explicit StringsWiper(std::vector<std::string>& strings) : strings_(strings) {}
  StringsWiper(const StringsWiper&) = delete;
  StringsWiper& operator=(const StringsWiper&) = delete;
  ~StringsWiper() {
    for (std::string& bytes : strings_) wipe(bytes.data(), bytes.size());
  }

 private:
  std::vector<std::string>& strings_;
};

// Scratch room for one plain name, long enough for any name, so that it
// never moves; wiped whole however the scope ends.
struct NameScratch {
  NameScratch() { bytes.reserve(format::kMaxNameLength); }
  NameScratch(const NameScratch&) = delete;
  NameScratch& operator=(const NameScratch&) = delete;
  ~NameScratch() {
    bytes.resize(bytes.capacity());
    wipe(bytes.data(), bytes.size());
  }
  std::string bytes;
};

// Empties a map whose keys are decrypted names, wiping each name before its
// memory goes back to the allocator (clear() would not).
template <typename Map>
void clear_index(Map& map) {
  while (!map.empty()) {
    auto node = map.extract(map.begin());
    wipe(node.key().data(), node.key().size());
  }
}

// A buffer for plain value bytes, in memory kept out of core dumps (and
// locked where allowed), wiped before it is released.
class SecretBuffer {
 public:
  explicit SecretBuffer(std::size_t size) : bytes_(size) {}
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;
  ~SecretBuffer() { wipe(bytes_.data(), bytes_.size()); }
  unsigned char* data() { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }

 private:
  std::vector<unsigned char, LockedAllocator<unsigned char>> bytes_;
};

}  // namespace kel::detail
