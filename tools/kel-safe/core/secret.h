// Buffers for passwords and values. Whatever held a secret is overwritten
// before its memory goes back to the allocator, also when a buffer grows.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kel::tool {

// Overwrites `length` bytes in a way the compiler may not drop.
void wipe(void* data, std::size_t length);
void wipe(std::string& text);

// A growable byte string that wipes its storage on every reallocation and
// on destruction. Kept as a std::string because the library takes one.
class Secret {
 public:
  Secret() = default;
  explicit Secret(std::size_t capacity) { text_.reserve(capacity); }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  Secret(Secret&& other) noexcept;
  Secret& operator=(Secret&& other) noexcept;
  ~Secret();

  const std::string& str() const { return text_; }
  std::string_view view() const { return text_; }
  std::size_t size() const { return text_.size(); }
  bool empty() const { return text_.empty(); }

  void push_back(char c);
  void append(const char* data, std::size_t length);
  // Makes room for at least `extra` more bytes without leaving the old
  // contents behind in freed memory.
  void reserve_more(std::size_t extra);
  // Grows the string by up to `length` bytes and returns where they start,
  // for a read() to fill; commit() then keeps the bytes actually read.
  char* extend(std::size_t length);
  void commit(std::size_t used);
  void clear();

 private:
  std::string text_;
  std::size_t pending_ = 0;
};

bool equal(const Secret& a, const Secret& b);

// A secret held for longer than one command (the password a session was
// given by the environment): pages of its own, locked so that they are
// never written to swap where the memory lock limit allows (a failed lock
// is no error), left out of core dumps, wiped and unmapped on reset() and
// destruction.
class LockedSecret {
 public:
  LockedSecret(const char* data, std::size_t length);
  LockedSecret(const LockedSecret&) = delete;
  LockedSecret& operator=(const LockedSecret&) = delete;
  ~LockedSecret() { reset(); }

  std::string_view view() const { return {data_, length_}; }
  void reset() noexcept;

 private:
  char* data_ = nullptr;
  std::size_t length_ = 0;
  std::size_t mapped_ = 0;
};

}  // namespace kel::tool
