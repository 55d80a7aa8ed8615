#include "fuzz/fixed_store.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "support/reference_store.h"

namespace kel::fuzz {

namespace {

const unsigned char kSalt[8] = {'f', 'u', 'z', 'z', 's', 'a', 'l', 't'};
const unsigned char kNonce[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
const unsigned char kKey[32] = {0x4b, 0x65, 0x6c, 0x2d, 0x66, 0x75, 0x7a, 0x7a,
                                0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                                0x98, 0xa9, 0xba, 0xcb, 0xdc, 0xed, 0xfe, 0x0f,
                                0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

// Scratch directories are named after their process, so that those of runs
// that crashed (and so never cleaned up) can be told apart and removed.
void remove_abandoned(const std::string& base) {
  const std::string prefix = "kel-safe-fuzz-";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(base, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
    if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      std::error_code ignored;
      std::filesystem::remove_all(entry.path(), ignored);
    }
  }
}

std::string make_scratch() {
  std::string base = "/dev/shm";
  if (::access(base.c_str(), W_OK) != 0) {
    base = std::filesystem::temp_directory_path().string();
  }
  remove_abandoned(base);
  std::string pattern =
      base + "/kel-safe-fuzz-" + std::to_string(::getpid()) + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

}  // namespace

const std::string& fixed_header() {
  static const std::string header = [] {
    namespace ref = kel::test::ref;
    const auto bytes = [](const unsigned char* p, std::size_t n) {
      return ref::Bytes(reinterpret_cast<const char*>(p), n);
    };
    std::string h = ref::make_header(kPassword, bytes(kSalt, 8), bytes(kKey, 32),
                                     bytes(kNonce, 12));
    if (h.size() != 132) throw std::runtime_error("could not build the fixed header");
    return h;
  }();
  return header;
}

const unsigned char* fixed_store_key() { return kKey; }

std::string fixed_record(std::size_t start, const std::string& name,
                         const std::string& value, const unsigned char* name_nonce12,
                         const unsigned char* value_nonce12) {
  namespace ref = kel::test::ref;
  ref::RecordOptions options;
  options.name_nonce = ref::Bytes(reinterpret_cast<const char*>(name_nonce12), 12);
  options.value_nonce = ref::Bytes(reinterpret_cast<const char*>(value_nonce12), 12);
  return ref::make_record(ref::Bytes(reinterpret_cast<const char*>(kKey), 32),
                          static_cast<std::int64_t>(start), name, value, options);
}

const std::string& scratch_dir() {
  // Never destroyed, so that the exit handler can still use it.
  static const std::string* dir = [] {
    auto* d = new std::string(make_scratch());
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratch_dir(), ignored);
    });
    return d;
  }();
  return *dir;
}

void clear_scratch() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(scratch_dir(), ec)) {
    std::error_code ignored;
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

namespace {

// Damage kinds of form 1.
enum Damage : unsigned char {
  kNone = 0,
  kShiftValueOffset = 1,  // value_offset += amount
  kSetValueLength = 2,    // value_length = amount
  kFlipValueByte = 3,     // value bytes no longer authenticate
  kSameNameAsBefore = 4,  // the previous record's name again
  kZeroFirstByte = 5,     // as an append cut short leaves it
  kFlipFixedByte = 6,     // one bit of the rest of the fixed part, at amount
  kSetFirstByte = 7,      // name_length = amount (a wrong length)
  kDamageKinds = 8
};

class Input {
 public:
  Input(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  unsigned char byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(byte()) << (8 * i);
    return v;
  }
  std::string bytes(std::size_t n) {
    std::string out;
    while (n-- > 0) out += static_cast<char>(byte());
    return out;
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

void put_le(std::string& s, std::size_t at, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

}  // namespace

std::string records_from_input(const unsigned char* data, std::size_t size) {
  if (size == 0) return {};
  if (data[0] != 1) return std::string(reinterpret_cast<const char*>(data) + 1, size - 1);
  Input in(data + 1, size - 1);
  const std::size_t cut = in.byte();
  std::string out;
  std::string previous;
  unsigned char counter = 0;
  while (!in.empty() && out.size() < 16 * 1024) {
    std::size_t n = in.byte();
    if (n == 0) n = 1;
    std::string name = in.bytes(n);
    const std::size_t low = in.byte();
    const std::size_t high = in.byte();
    const std::size_t v = 1 + (low | (high << 8)) % 512;
    const unsigned char fill = in.byte();
    const unsigned char damage = static_cast<unsigned char>(in.byte() % kDamageKinds);
    const std::uint32_t amount = in.u32();
    if (damage == kSameNameAsBefore && !previous.empty()) name = previous;
    previous = name;
    std::string value(v, '\0');
    for (std::size_t i = 0; i < v; ++i) value[i] = static_cast<char>(fill ^ (i & 0xff));
    unsigned char name_nonce[12], value_nonce[12];
    for (int i = 0; i < 12; ++i) {
      name_nonce[i] = static_cast<unsigned char>(counter + i);
      value_nonce[i] = static_cast<unsigned char>(counter * 7 + i);
    }
    ++counter;
    const std::size_t start = 132 + out.size();
    std::string record = fixed_record(start, name, value, name_nonce, value_nonce);
    const std::size_t fields = 1 + name.size() + 12 + 16;  // value_offset here
    switch (damage) {
      case kShiftValueOffset:
        put_le(record, fields,
               static_cast<std::uint64_t>(static_cast<std::int64_t>(start + name.size() + 41) +
                                          static_cast<std::int32_t>(amount)),
               8);
        break;
      case kSetValueLength:
        put_le(record, fields + 8, amount, 4);
        break;
      case kFlipValueByte:
        record[fields + 12 + amount % v] ^= 0x01;
        break;
      case kZeroFirstByte:
        record[0] = '\0';
        break;
      case kFlipFixedByte:
        record[1 + amount % (fields + 11)] ^= static_cast<char>(1u << (amount >> 29));
        break;
      case kSetFirstByte:
        record[0] = static_cast<char>(amount & 0xff);
        break;
      default:
        break;
    }
    out += record;
  }
  out.resize(out.size() - std::min(cut, out.size()));
  return out;
}

std::string describe(const std::vector<RecordShape>& records, unsigned char cut) {
  std::string out(1, '\1');
  out += static_cast<char>(cut);
  for (const auto& r : records) {
    out += static_cast<char>(r.name.size());
    out += r.name;
    out += static_cast<char>((r.value_length - 1) & 0xff);
    out += static_cast<char>(((r.value_length - 1) >> 8) & 0xff);
    out += static_cast<char>(r.fill);
    out += static_cast<char>(r.damage);
    for (int i = 0; i < 4; ++i) {
      out += static_cast<char>((static_cast<std::uint32_t>(r.amount) >> (8 * i)) & 0xff);
    }
  }
  return out;
}

}  // namespace kel::fuzz
