// The Store object itself: construction, file naming, the wipe routine, the
// index record, and noticing that the store file changed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "engine/engine.h"
#include "engine/locked_store.h"
#include "kel/item.h"
#include "kel/safe.h"
#include "kel/store.h"
#include "kel/store_files.h"
#include "support/reference_store.h"
#include "support/test_support.h"

namespace {

using kel::test::kPassword;
using kel::test::TempDir;
namespace ref = kel::test::ref;

TEST(StoreObject, DefaultConstructedStoreHoldsNothing) {
  kel::Store store;
  EXPECT_EQ(store.file_extension, ".safe");
  EXPECT_EQ(store.store_fd, -1);
  EXPECT_FALSE(store.store_opened);
  EXPECT_TRUE(store.password.empty());
  EXPECT_TRUE(store.file_path.empty());
  EXPECT_TRUE(store.index.empty());
  EXPECT_EQ(store.index_time.tv_sec, 0);
  EXPECT_EQ(store.index_time.tv_nsec, 0);
  EXPECT_FALSE(store.engine->keys.store_key_masked);
  for (unsigned char b : store.password_hash) EXPECT_EQ(b, 0);
  for (unsigned char b : store.masked_store_key) EXPECT_EQ(b, 0);
}

TEST(StoreObject, NamedStoreKeepsThePasswordAndFormsThePath) {
  kel::Store store("dir/vault", kPassword);
  EXPECT_EQ(store.password, kPassword);
  EXPECT_EQ(store.file_path, "dir/vault.safe");
  EXPECT_EQ(store.store_fd, -1);
  EXPECT_FALSE(store.store_opened);
}

TEST(StoreObject, FileNameRules) {
  const struct {
    const char* name;
    const char* path;
  } cases[] = {
      {"vault", "vault.safe"},
      {"vault.safe", "vault.safe"},
      {"vault.SAFE", "vault.SAFE.safe"},
      {"vault.Safe", "vault.Safe.safe"},
      {"vault.saf", "vault.saf.safe"},
      {"vault.safe.bak", "vault.safe.bak.safe"},
      {"/abs/dir/v.safe", "/abs/dir/v.safe"},
      {"../rel/v", "../rel/v.safe"},
      {"abc", "abc.safe"},
      {"safe", "safe.safe"},
      {"", ".safe"},
      {".safe", ".safe"},
      {"x.safe", "x.safe"},
  };
  for (const auto& c : cases) {
    kel::Store store;
    store.set_file_name(c.name);
    EXPECT_EQ(store.file_path, c.path) << "name: " << c.name;
    kel::Store named(c.name, kPassword);
    EXPECT_EQ(named.file_path, c.path) << "name: " << c.name;
    std::string exported, error;
    if (*c.name != '\0') {
      EXPECT_EQ(kel::store_file_path(c.name, exported, error), 0) << error;
      EXPECT_EQ(exported, c.path) << "name: " << c.name;
    }
  }
}

// The exported rules: a copy beside a store opens as named while nothing
// of its name plus ".safe" is there; links lead to the file whose backups
// the library keeps.
TEST(StoreObject, ExportedNamesFollowCopiesAndLinks) {
  kel::test::TempDir dir;
  const std::string copy = dir.file("v.safe.backup2");
  kel::test::write_file(copy, "x");
  std::string path, error;
  ASSERT_EQ(kel::store_file_path(copy, path, error), 0) << error;
  EXPECT_EQ(path, copy);
  kel::test::write_file(copy + ".safe", "x");
  ASSERT_EQ(kel::store_file_path(copy, path, error), 0) << error;
  EXPECT_EQ(path, copy + ".safe");
  ASSERT_EQ(::symlink("real.safe", dir.file("link.safe").c_str()), 0);
  ASSERT_EQ(kel::final_store_file(dir.file("link.safe"), path, error), 0) << error;
  EXPECT_EQ(path, dir.file("real.safe"));
  using kel::StoreBackup;
  ASSERT_EQ(kel::store_backup_path(dir.file("link.safe"), StoreBackup::removal, path, error), 0);
  EXPECT_EQ(path, dir.file("real.safe") + ".backup2");
  ASSERT_EQ(kel::store_backup_path(dir.file("v.safe"), StoreBackup::password_change, path, error),
            0);
  EXPECT_EQ(path, dir.file("v.safe") + ".backup1");
  EXPECT_EQ(kel::store_file_path("", path, error), -1);
  EXPECT_EQ(error, "Empty store name");
  EXPECT_EQ(kel::final_store_file("", path, error), -1);
  EXPECT_EQ(error, "Empty store path");
}

TEST(StoreObject, SetFileNameReplacesThePath) {
  kel::Store store("first", kPassword);
  store.set_file_name("second.safe");
  EXPECT_EQ(store.file_path, "second.safe");
}

TEST(StoreObject, DestroyingAStoreThatNeverOpenedAFileClosesNothing) {
  const int before = kel::test::open_descriptor_count();
  { kel::Store store("nowhere/at/all", kPassword); }
  { kel::Safe safe("nowhere/at/all", kPassword); }
  EXPECT_EQ(kel::test::open_descriptor_count(), before);
}

// The flags /proc/self/smaps shows for the mapping that holds `address`.
std::string vm_flags_of(const void* address) {
  std::ifstream maps("/proc/self/smaps");
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  bool inside = false;
  for (std::string line; std::getline(maps, line);) {
    std::uintptr_t from = 0, to = 0;
    if (std::sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR " ", &from, &to) == 2) {
      inside = from <= at && at < to;
    } else if (inside && line.rfind("VmFlags:", 0) == 0) {
      return line;
    }
  }
  return "";
}

// A core dump must not hold the masked key or its masking material: a Store
// made with new lives in pages marked "dd" (left out of dumps).
TEST(StoreObject, SecretsLiveInPagesLeftOutOfDumps) {
  // How a Safe makes its Store.
  std::unique_ptr<kel::Store, decltype(&kel::detail::delete_locked_store)> store(
      kel::detail::new_locked_store("nowhere", kPassword), &kel::detail::delete_locked_store);
  for (const void* secret : {static_cast<const void*>(store->masked_store_key),
                             static_cast<const void*>(store->memory_key)}) {
    EXPECT_NE(vm_flags_of(secret).find(" dd"), std::string::npos) << vm_flags_of(secret);
  }
  std::string ordinary(100, 'x');
  EXPECT_EQ(vm_flags_of(ordinary.data()).find(" dd"), std::string::npos);
}

TEST(SafeFacade, VersionNeedsNoStore) {
  const kel::Safe safe;
  EXPECT_EQ(safe.version(), "1.0.0");
  EXPECT_EQ(safe.version().size(), 5u);
  const kel::Safe named("nowhere/at/all", kPassword);
  EXPECT_EQ(named.version(), "1.0.0");
}

TEST(MemClear, LeavesZerosAndIgnoresNull) {
  kel::Store store;
  store.mem_clear(nullptr, 100);  // must not crash
  unsigned char buffer[37];
  for (unsigned i = 0; i < sizeof buffer; ++i) buffer[i] = static_cast<unsigned char>(i + 1);
  store.mem_clear(buffer + 1, 35);
  EXPECT_EQ(buffer[0], 1);   // before the range
  EXPECT_EQ(buffer[36], 37);  // after the range
  for (unsigned i = 1; i < 36; ++i) EXPECT_EQ(buffer[i], 0) << i;
  store.mem_clear(buffer, 0);  // zero length touches nothing
  EXPECT_EQ(buffer[0], 1);
}

TEST(MemClear, WipedStringKeepsItsLength) {
  kel::Store store;
  std::string secret = "twenty-byte-secret!!";
  ASSERT_EQ(secret.size(), 20u);
  store.mem_clear(secret.data(), secret.size());
  EXPECT_EQ(secret.size(), 20u);
  EXPECT_EQ(secret, std::string(20, '\0'));
}

TEST(ItemRecord, MovesCarryBothMembers) {
  kel::Item a;
  a.value_length = 4294967295u;
  a.value_offset = 0x123456789abcLL;
  kel::Item b(std::move(a));
  EXPECT_EQ(b.value_length, 4294967295u);
  EXPECT_EQ(b.value_offset, 0x123456789abcLL);
  kel::Item c;
  c.value_length = 1;
  c.value_offset = 2;
  c = std::move(b);
  EXPECT_EQ(c.value_length, 4294967295u);
  EXPECT_EQ(c.value_offset, 0x123456789abcLL);
}

// A store with one record, written by the test, and a Store opened on it.
class ChangeDetection : public testing::Test {
 protected:
  void SetUp() override {
    path = dir.file("changes.safe");
    ref::StoreImage image(kPassword);
    image.add("first", "value one");
    key = image.store_key();
    kel::test::write_file(path, image.bytes());
  }
  TempDir dir;
  std::string path;
  std::string key;
};

TEST_F(ChangeDetection, FreshStoreCountsAsChanged) {
  kel::Store store(path, kPassword);
  EXPECT_TRUE(store.is_store_changed());
}

TEST_F(ChangeDetection, OpenedStoreIsUnchangedUntilTheFileGrows) {
  kel::Store store(path, kPassword);
  std::string text;
  ASSERT_EQ(store.open_store(text), 0) << text;
  EXPECT_FALSE(store.is_store_changed());
  EXPECT_FALSE(store.is_store_changed());
  // Another writer appends a record.
  std::string bytes = kel::test::read_file(path);
  bytes += ref::make_record(key, static_cast<std::int64_t>(bytes.size()), "second", "v2");
  kel::test::write_file(path, bytes);
  EXPECT_TRUE(store.is_store_changed());
}

TEST_F(ChangeDetection, AChangeWithinTheSameSecondIsNoticed) {
  kel::Store store(path, kPassword);
  std::string text;
  ASSERT_EQ(store.open_store(text), 0) << text;
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  // Same size, same whole second, another nanosecond.
  timespec times[2] = {st.st_atim, st.st_mtim};
  times[1].tv_nsec = (st.st_mtim.tv_nsec + 1) % 1000000000;
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  EXPECT_TRUE(store.is_store_changed());
}

TEST_F(ChangeDetection, AFileReplacedByAnIdenticalCopyIsNoticed) {
  kel::Store store(path, kPassword);
  std::string text;
  ASSERT_EQ(store.open_store(text), 0) << text;
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  const std::string copy = dir.file("copy.safe");
  kel::test::write_file(copy, kel::test::read_file(path));
  const timespec times[2] = {st.st_atim, st.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, copy.c_str(), times, 0), 0);
  ASSERT_EQ(std::rename(copy.c_str(), path.c_str()), 0);
  EXPECT_TRUE(store.is_store_changed());  // same size and time, other inode
}

TEST_F(ChangeDetection, ADeletedFileCountsAsUnchanged) {
  kel::Store store(path, kPassword);
  std::string text;
  ASSERT_EQ(store.open_store(text), 0) << text;
  ASSERT_EQ(std::remove(path.c_str()), 0);
  EXPECT_FALSE(store.is_store_changed());
}

}  // namespace
