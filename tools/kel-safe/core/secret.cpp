#include "secret.h"

#include "crypto/wipe.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace kel::tool {

void wipe(void* data, std::size_t length) {
  kel::detail::wipe(data, length);
}

void wipe(std::string& text) {
  // The whole allocation: bytes past size() may hold an earlier, longer text.
  wipe(text.data(), text.capacity());
  text.clear();
}

Secret::Secret(Secret&& other) noexcept
    : text_(std::move(other.text_)), pending_(other.pending_) {
  // A moved std::string may have copied a short string (SSO) rather than
  // stolen the buffer; the source is wiped either way.
  wipe(other.text_);
  other.pending_ = 0;
}

Secret& Secret::operator=(Secret&& other) noexcept {
  if (this != &other) {
    wipe(text_);
    text_.swap(other.text_);
    pending_ = other.pending_;
    other.pending_ = 0;
    wipe(other.text_);
  }
  return *this;
}

Secret::~Secret() { wipe(text_); }

void Secret::reserve_more(std::size_t extra) {
  const std::size_t needed = text_.size() + extra;
  if (needed <= text_.capacity()) return;
  std::string bigger;
  bigger.reserve(std::max(needed, text_.capacity() * 2));
  bigger.assign(text_);
  wipe(text_);
  text_.swap(bigger);
  // `bigger` now owns the old, wiped buffer and releases it.
}

void Secret::push_back(char c) {
  reserve_more(1);
  text_.push_back(c);
}

void Secret::append(const char* data, std::size_t length) {
  reserve_more(length);
  text_.append(data, length);
}

char* Secret::extend(std::size_t length) {
  reserve_more(length);
  const std::size_t start = text_.size();
  text_.resize(start + length);
  pending_ = length;
  return text_.data() + start;
}

void Secret::commit(std::size_t used) {
  const std::size_t keep = text_.size() - pending_ + std::min(used, pending_);
  // Shrinking within the capacity never reallocates; the unused tail was
  // zero-filled by resize() and never held data.
  text_.resize(keep);
  pending_ = 0;
}

void Secret::clear() {
  wipe(text_.data(), text_.size());
  text_.clear();
  pending_ = 0;
}

LockedSecret::LockedSecret(const char* data, std::size_t length) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t size = (std::max<std::size_t>(length, 1) + page - 1) / page * page;
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  madvise(memory, size, MADV_DONTDUMP);
  mlock(memory, size);  // best effort: the limit may not allow it
  data_ = static_cast<char*>(memory);
  mapped_ = size;
  length_ = length;
  if (length > 0) std::memcpy(data_, data, length);
}

void LockedSecret::reset() noexcept {
  if (data_ == nullptr) return;
  wipe(data_, mapped_);
  munlock(data_, mapped_);
  munmap(data_, mapped_);
  data_ = nullptr;
  length_ = 0;
  mapped_ = 0;
}

bool equal(const Secret& a, const Secret& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff |= static_cast<unsigned char>(a.str()[i] ^ b.str()[i]);
  }
  return diff == 0;
}

}  // namespace kel::tool
