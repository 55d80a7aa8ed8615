// Entries: value semantics, moves, and the wipe of every value buffer before
// it is released. The wipe is observed at the moment of release through this
// executable's array allocation functions (below), which look at a watched
// buffer just before handing it back to malloc.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "crypto/wipe.h"
#include "kel/entry.h"
#include "kel/safe.h"
#include "kel/safe_entry.h"
#include "support/test_support.h"

namespace {

// The watched buffer, and what it held when it was released: the first
// byte that was not zero (its place and value), if any.
const void* g_watched = nullptr;
std::size_t g_watched_size = 0;
bool g_released = false;
std::size_t g_nonzero_at = 0;
int g_nonzero = 0;
// When not 0: the next array of this many bytes becomes the watched buffer.
std::size_t g_watch_next_of = 0;

void observe_release(void* p) noexcept {
  if (p != nullptr && p == g_watched) {
    const auto* bytes = static_cast<const unsigned char*>(p);
    g_nonzero_at = g_watched_size;
    g_nonzero = 0;
    for (std::size_t i = 0; i < g_watched_size; ++i) {
      if (bytes[i] != 0) {
        g_nonzero_at = i;
        g_nonzero = bytes[i];
        break;
      }
    }
    g_released = true;
    g_watched = nullptr;
  }
}

void observe_allocation(void* p, std::size_t n) noexcept {
  if (p != nullptr && n != 0 && n == g_watch_next_of) {
    g_watched = p;
    g_watched_size = n;
    g_released = false;
    g_watch_next_of = 0;
  }
}

}  // namespace

void* operator new[](std::size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  observe_allocation(p, n);
  return p;
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return std::malloc(n == 0 ? 1 : n);
}
// Out of line: inlined into a test that made its array with new[], it would
// have g++ warn that free() gets a block from operator new[].
[[gnu::noinline]] void operator delete[](void* p) noexcept {
  observe_release(p);
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  observe_release(p);
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  observe_release(p);
  std::free(p);
}

namespace {

using kel::test::kPassword;
using kel::test::TempDir;

// Watches the value buffer that `data` points at (`size` bytes).
void watch(const unsigned char* data, std::size_t size) {
  ASSERT_NE(data, nullptr);
  g_watched = data;
  g_watched_size = size;
  g_released = false;
}

// Watches the next buffer of `size` bytes made with new[]: one the library
// makes for itself, whose address the caller never sees.
void watch_next_of(std::size_t size) {
  g_watched = nullptr;
  g_released = false;
  g_watch_next_of = size;
}

// True when the watched buffer was released holding only zero bytes.
testing::AssertionResult released_wiped() {
  g_watch_next_of = 0;
  if (!g_released) {
    g_watched = nullptr;
    return testing::AssertionFailure() << "the buffer was not released with delete[]";
  }
  if (g_nonzero_at < g_watched_size) {
    return testing::AssertionFailure() << "byte " << g_nonzero_at << " was " << g_nonzero
                                       << " when the buffer was released";
  }
  return testing::AssertionSuccess();
}

TEST(Entry, EmptyEntryHasNoValue) {
  kel::Entry e;
  EXPECT_EQ(e.length(), 0u);
  EXPECT_TRUE(e.value().empty());
  EXPECT_EQ(e.value().data(), nullptr);
  EXPECT_EQ(e.raw_value(), nullptr);
  kel::Entry named("name");
  EXPECT_EQ(named.length(), 0u);
  EXPECT_EQ(named.raw_value(), nullptr);
  kel::Entry empty_value("name", "");
  EXPECT_EQ(empty_value.length(), 0u);
  EXPECT_EQ(empty_value.raw_value(), nullptr);
  EXPECT_EQ(empty_value.value().data(), nullptr);
}

TEST(Entry, ValuesKeepZeroBytes) {
  const std::string value("a\0b\0\0c", 6);
  kel::Entry e("n", value);
  EXPECT_EQ(e.length(), 6u);
  EXPECT_EQ(e.value(), value);
  EXPECT_EQ(std::memcmp(e.raw_value(), value.data(), 6), 0);
  const std::vector<unsigned char> bytes{0, 0, 0, 255, 0};
  e.set_value(bytes);
  EXPECT_EQ(e.length(), 5u);
  EXPECT_EQ(e.value(), std::string("\0\0\0\xff\0", 5));
}

TEST(Entry, ValueIsACopyOfTheCallersBytes) {
  std::string value = "original";
  kel::Entry e("n", value);
  value[0] = 'X';
  EXPECT_EQ(e.value(), "original");
  EXPECT_NE(static_cast<const void*>(e.raw_value()), static_cast<const void*>(value.data()));
}

TEST(Entry, ReplacingAValueWipesTheOldBuffer) {
  kel::Entry e("n", "first secret");
  watch(e.raw_value(), e.length());
  e.set_value("second");
  EXPECT_TRUE(released_wiped());
  EXPECT_EQ(e.value(), "second");

  watch(e.raw_value(), e.length());
  e.set_value(std::vector<unsigned char>{1, 2, 3});
  EXPECT_TRUE(released_wiped());
  EXPECT_EQ(e.value(), std::string("\x01\x02\x03"));
}

TEST(Entry, SettingAnEmptyValueWipesAndDropsTheBuffer) {
  kel::Entry e("n", "secret");
  watch(e.raw_value(), e.length());
  e.set_value(std::string());
  EXPECT_TRUE(released_wiped());
  EXPECT_EQ(e.length(), 0u);
  EXPECT_EQ(e.raw_value(), nullptr);
  e.set_value("again");
  watch(e.raw_value(), e.length());
  e.set_value(std::vector<unsigned char>{});
  EXPECT_TRUE(released_wiped());
  EXPECT_EQ(e.raw_value(), nullptr);
}

TEST(Entry, DestructionWipesTheValue) {
  auto* e = new kel::Entry("n", "a value that must not linger");
  watch(e->raw_value(), e->length());
  delete e;
  EXPECT_TRUE(released_wiped());
}

// A secret held by an object whose destructor wipes it, as the library's
// buffers are. Once the object has died its bytes are dead, and g++ -O2
// drops a plain memset there; the one wipe, inline here as at every call
// site, must leave zeros all the same, with or without a first pass.
template <unsigned char First>
struct DyingSecret {
  unsigned char bytes[40];
  ~DyingSecret() { kel::detail::wipe(bytes, sizeof bytes, First); }
};

template <unsigned char First>
testing::AssertionResult wiped_as_it_dies() {
  auto* storage = new unsigned char[sizeof(DyingSecret<First>)];
  auto* secret = new (storage) DyingSecret<First>;
  std::memset(secret->bytes, 0x5a, sizeof secret->bytes);
  volatile std::size_t at = 7;  // a read the compiler cannot foresee keeps the fill
  if (secret->bytes[at] != 0x5a) return testing::AssertionFailure() << "not filled";
  watch(storage, sizeof(DyingSecret<First>));
  secret->~DyingSecret();
  delete[] storage;
  return released_wiped();
}

TEST(Entry, TheOneWipeOutlivesTheObjectItClears) {
  EXPECT_TRUE(wiped_as_it_dies<0x00>());
  EXPECT_TRUE(wiped_as_it_dies<0x01>());
}

TEST(Entry, MoveConstructionHandsOverTheBuffer) {
  kel::Entry source("n", "moving value");
  const unsigned char* buffer = source.raw_value();
  kel::Entry target(std::move(source));
  EXPECT_EQ(target.raw_value(), buffer);
  EXPECT_EQ(target.value(), "moving value");
  // The moved-from entry answers as an empty one.
  EXPECT_EQ(source.length(), 0u);  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(source.value().empty());
  EXPECT_EQ(source.raw_value(), nullptr);
}

TEST(Entry, MovedFromEntryGetsFreshDataFromItsSetters) {
  kel::Entry source("n", "v");
  kel::Entry target(std::move(source));
  source.set_value("new value");  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(source.value(), "new value");
  EXPECT_EQ(target.value(), "v");
  kel::Entry other(std::move(source));
  source.set_name("only a name");
  EXPECT_EQ(source.length(), 0u);
  source.set_value(std::vector<unsigned char>{7});
  EXPECT_EQ(source.length(), 1u);
  // Moving out of a moved-from entry gives an empty entry.
  kel::Entry drained(std::move(target));
  kel::Entry from_empty(std::move(target));
  EXPECT_EQ(from_empty.length(), 0u);
  EXPECT_EQ(from_empty.raw_value(), nullptr);
}

TEST(Entry, MoveAssignmentWipesTheTargetsOldValue) {
  kel::Entry target("t", "target's old secret");
  kel::Entry source("s", "incoming");
  watch(target.raw_value(), target.length());
  target = std::move(source);
  EXPECT_TRUE(released_wiped());
  EXPECT_EQ(target.value(), "incoming");
  EXPECT_EQ(source.raw_value(), nullptr);  // NOLINT(bugprone-use-after-move)
  // Assigning into a moved-from entry works too.
  source = std::move(target);
  EXPECT_EQ(source.value(), "incoming");
  EXPECT_EQ(target.length(), 0u);  // NOLINT(bugprone-use-after-move)
}

TEST(Entry, MovingIntoItselfChangesNothing) {
  kel::Entry e("n", "self");
  const unsigned char* buffer = e.raw_value();
  kel::Entry& alias = e;
  e = std::move(alias);
  EXPECT_EQ(e.raw_value(), buffer);
  EXPECT_EQ(e.value(), "self");
}

TEST(Entry, SafeRefusesAMovedFromEntry) {
  TempDir dir;
  kel::Safe safe(dir.file("moved"), kPassword);
  std::string error;
  ASSERT_EQ(safe.create_safe(error), 0) << error;
  kel::Entry source("name", "value");
  kel::Entry target(std::move(source));
  error.clear();
  EXPECT_EQ(safe.add_entry(source, error), -1);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(error, "Invalid entry name");
  error.clear();
  EXPECT_EQ(safe.get_entry(source, error), -1);
  EXPECT_EQ(error, "Invalid entry name");
  EXPECT_FALSE(safe.exists("name"));
}

// Safe::get_entry reads a value into a buffer of its own, which the entry
// takes only once the value authenticated. Every buffer it lets go of is
// wiped first: the entry's old value when the read succeeds, and its own,
// which may hold plain bytes of a value that did not authenticate, when it
// fails. Small values and values of several MiB alike.
TEST(Entry, GetEntryWipesEveryBufferItLetsGo) {
  for (const std::size_t size : {std::size_t{100}, std::size_t{(5u << 20) + 7}}) {
    SCOPED_TRACE(size);
    TempDir dir;
    const std::string path = dir.file("get.safe");
    std::string value(size, '\0');
    for (std::size_t i = 0; i < size; ++i) value[i] = static_cast<char>('a' + i % 23);
    std::string error;
    {
      kel::Safe safe(path, kPassword);
      ASSERT_EQ(safe.create_safe(error), 0) << error;
      ASSERT_EQ(safe.add_entry(kel::Entry("v", value), error), 0) << error;
    }
    kel::Safe safe(path, kPassword);
    // Old values shorter than, as long as, and longer than the new one; the
    // longest spans several of the blocks a large buffer is wiped in.
    for (const std::size_t old_size : {std::size_t{9}, size, std::size_t{200001}}) {
      kel::Entry entry("v", std::string(old_size, 's'));
      watch(entry.raw_value(), entry.length());
      ASSERT_EQ(safe.get_entry(entry, error), 0) << error;
      EXPECT_TRUE(released_wiped()) << "old value of " << old_size << " bytes";
      EXPECT_TRUE(entry.value() == value);
    }
    // One byte of the value's cipher damaged (the value is the last thing
    // in the file, followed by its nonce and tag).
    std::string bytes = kel::test::read_file(path);
    bytes[bytes.size() - 28 - 1] ^= 0x40;
    kel::test::write_file(path, bytes);
    kel::Safe damaged(path, kPassword);
    kel::Entry kept("v", "keep me");
    watch_next_of(size);
    EXPECT_EQ(damaged.get_entry(kept, error), -1);
    EXPECT_EQ(error, "Could not decrypt value cipher");
    EXPECT_TRUE(released_wiped()) << "the buffer the damaged value was read into";
    EXPECT_EQ(kept.value(), "keep me");
  }
}

TEST(SafeEntry, ConstructorsAndSetters) {
  kel::SafeEntry empty;
  EXPECT_EQ(empty.value_length, 0u);
  EXPECT_EQ(empty.value_data, nullptr);
  EXPECT_TRUE(empty.name.empty());
  const std::string odd_name("na\0me\xff", 6);
  kel::SafeEntry named(odd_name);
  EXPECT_EQ(named.name, odd_name);  // kept byte for byte
  EXPECT_EQ(named.value_data, nullptr);
  kel::SafeEntry full("n", "value");
  EXPECT_EQ(full.value_length, 5u);
  EXPECT_EQ(full.value(), "value");
  full.set_name(full.name);  // its own name: no change
  EXPECT_EQ(full.name, "n");
  full.set_name("renamed");
  EXPECT_EQ(full.name, "renamed");
}

TEST(SafeEntry, MovesLeaveTheSourceWithoutValueOrName) {
  kel::SafeEntry source("name", "value");
  unsigned char* buffer = source.value_data;
  kel::SafeEntry target(std::move(source));
  EXPECT_EQ(target.value_data, buffer);
  EXPECT_EQ(target.value_length, 5u);
  EXPECT_EQ(target.name, "name");
  EXPECT_EQ(source.value_data, nullptr);  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(source.name.empty());
  EXPECT_TRUE(source.value().empty());

  kel::SafeEntry other("other", "other's secret");
  watch(other.value_data, other.value_length);
  other = std::move(target);
  EXPECT_TRUE(released_wiped());
  EXPECT_EQ(other.value_data, buffer);
  EXPECT_EQ(other.name, "name");
  EXPECT_EQ(target.value_data, nullptr);  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(target.name.empty());
}

TEST(SafeEntry, MovingIntoItselfChangesNothing) {
  kel::SafeEntry e("n", "self");
  unsigned char* buffer = e.value_data;
  kel::SafeEntry& alias = e;
  e = std::move(alias);
  EXPECT_EQ(e.value_data, buffer);
  EXPECT_EQ(e.value_length, 4u);
  EXPECT_EQ(e.name, "n");
  EXPECT_EQ(e.value(), "self");
}

TEST(SafeEntry, DestructionAndReplacementWipe) {
  auto* e = new kel::SafeEntry("n", "destroyed secret");
  watch(e->value_data, e->value_length);
  delete e;
  EXPECT_TRUE(released_wiped());
  kel::SafeEntry f("n", "replaced secret");
  watch(f.value_data, f.value_length);
  f.set_value("x");
  EXPECT_TRUE(released_wiped());
}

}  // namespace
