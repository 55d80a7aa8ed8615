// Changing the store password: only the header changes, the same store key
// is wrapped anew, the old file is kept as ".backup1", and Safes that are
// open elsewhere keep working.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "items/item_support.h"
#include "kel/entry.h"
#include "kel/safe.h"
#include "kel/store.h"
#include "support/test_support.h"
#include "support/unit_util.h"

namespace kel::test::items {
namespace {

class ChangePassword : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir.file("change.safe");
    create_store(path, kPassword);
    kel::Safe safe(path, kPassword);
    std::string error;
    for (const char* n : {"one", "two", "three"}) {
      ASSERT_EQ(safe.add_entry(kel::Entry(n, value_for(n)), error), 0) << error;
    }
  }
  void expect_reads_all(kel::Safe& safe) {
    std::string error;
    for (const char* n : {"one", "two", "three"}) {
      kel::Entry e(n);
      ASSERT_EQ(safe.get_entry(e, error), 0) << n << ": " << error;
      EXPECT_TRUE(e.value() == value_for(n)) << n;
    }
  }
  // Every name of `names` reads its value through a new Safe on `store`.
  static void expect_v2_reads(const std::string& store, const std::string& password,
                              const std::vector<std::string>& names) {
    kel::Safe safe(store, password);
    std::string error;
    for (const std::string& n : names) {
      kel::Entry e(n);
      ASSERT_EQ(safe.get_entry(e, error), 0) << n << ": " << error;
      EXPECT_TRUE(e.value() == value_for(n)) << n;
    }
  }
  TempDir dir;
  std::string path;
};

TEST_F(ChangePassword, RewritesOnlyTheHeader) {
  const std::string old = read_file(path);
  auto old_key = unwrap_store_key(old, kPassword);
  ASSERT_TRUE(old_key.has_value());

  kel::Safe safe(path, kPassword);
  std::string error;
  kel::test::DiagnosticCapture capture;
  const int result = safe.change_key(path, kPassword, kOtherPassword, error);
  const std::string printed = capture.take();
  ASSERT_EQ(result, 0) << error;
  EXPECT_NE(printed.find("backup file: " + path + ".backup1\n"),
            std::string::npos)
      << printed;

  const std::string now = read_file(path);
  ASSERT_EQ(now.size(), old.size());
  EXPECT_TRUE(now.substr(kHeaderSize) == old.substr(kHeaderSize));
  EXPECT_NE(now.substr(kSaltAt, 8), old.substr(kSaltAt, 8)) << "salt reused";
  EXPECT_NE(now.substr(kKeyNonceAt, 12), old.substr(kKeyNonceAt, 12))
      << "key nonce reused";
  EXPECT_EQ(now.substr(kHashAt, 64),
            sha3_512(kOtherPassword + now.substr(kSaltAt, 8)));
  // The same store key, wrapped under the new password only.
  EXPECT_EQ(unwrap_store_key(now, kOtherPassword), old_key);
  EXPECT_FALSE(unwrap_store_key(now, kPassword).has_value());
  EXPECT_TRUE(read_file(path + ".backup1") == old);

  kel::Safe with_new(path, kOtherPassword);
  EXPECT_TRUE(with_new.key_verified(error)) << error;
  expect_reads_all(with_new);
  kel::Safe with_old(path, kPassword);
  error.clear();
  EXPECT_FALSE(with_old.key_verified(error));
  EXPECT_EQ(error, "Invalid password");
  kel::Entry e("one");
  EXPECT_EQ(with_old.get_entry(e, error), -1);
  EXPECT_EQ(error, "Invalid password");
  EXPECT_FALSE(with_old.exists("one"));
}

// Format 2: the same store key rewrapped in place with a fresh salt and
// nonce; the parameters, the store identifier and every record stay, and
// the backup still opens with the old password.
TEST_F(ChangePassword, Version2RewrapsTheKeyInPlace) {
  const std::string v2 = dir.file("v2.safe");
  kel::Safe maker(v2, kPassword);
  std::string error;
  ASSERT_EQ(maker.create_safe(cheapest_v2(), error), 0) << error;
  ASSERT_EQ(maker.add_entry(kel::Entry("one", value_for("one")), error), 0) << error;
  const std::string old = read_file(v2);
  const auto old_key = ref::unwrap_store_key_v2(old, kPassword);
  ASSERT_TRUE(old_key.has_value());

  ASSERT_EQ(maker.change_key(v2, kPassword, kOtherPassword, error), 0) << error;
  const std::string now = read_file(v2);
  ASSERT_EQ(now.size(), old.size());
  EXPECT_TRUE(now.substr(kHeaderSize) == old.substr(kHeaderSize));
  EXPECT_EQ(now.substr(0, ref::kV2SaltAt), old.substr(0, ref::kV2SaltAt));
  EXPECT_EQ(now.substr(ref::kV2IdAt, 32), old.substr(ref::kV2IdAt, 32));
  EXPECT_NE(now.substr(ref::kV2SaltAt, 16), old.substr(ref::kV2SaltAt, 16)) << "salt reused";
  EXPECT_NE(now.substr(ref::kV2NonceAt, 12), old.substr(ref::kV2NonceAt, 12));
  EXPECT_EQ(ref::unwrap_store_key_v2(now, kOtherPassword), old_key);
  EXPECT_FALSE(ref::unwrap_store_key_v2(now, kPassword).has_value());
  EXPECT_TRUE(read_file(v2 + ".backup1") == old);

  kel::Safe with_new(v2, kOtherPassword);
  kel::Entry e("one");
  ASSERT_EQ(with_new.get_entry(e, error), 0) << error;
  EXPECT_TRUE(e.value() == value_for("one"));
  EXPECT_EQ(kel::Safe(v2, kPassword).key_verified(error), false);
  EXPECT_EQ(kel::Safe(v2, kOtherPassword).change_key(v2, kPassword, kOtherPassword, error), -1);
  EXPECT_EQ(error, "Invalid password");
  EXPECT_TRUE(read_file(v2) == now);
}

// A key rotation seals every record again under a new key and identifier in
// one rewrite, with the new password (the same one will do) and the old file
// as ".backup1". Neither the old password nor the old header spliced onto
// the new records opens any of them; a Safe that holds the old key refuses
// the new file. A format-1 store is refused and left as it was.
TEST_F(ChangePassword, RotateKeySealsEverythingUnderANewKey) {
  const std::string v2 = dir.file("v2.safe");
  kel::Safe maker(v2, kPassword);
  std::string error;
  ASSERT_EQ(maker.create_safe(cheapest_v2(), error), 0) << error;
  for (const char* n : {"one", "two"}) {
    ASSERT_EQ(maker.add_entry(kel::Entry(n, value_for(n)), error), 0) << error;
  }
  const std::string old = read_file(v2);
  const auto old_key = ref::unwrap_store_key_v2(old, kPassword);
  ASSERT_TRUE(old_key.has_value());

  ASSERT_EQ(maker.rotate_key(v2, kPassword, kOtherPassword, error), 0) << error;
  EXPECT_TRUE(read_file(v2 + ".backup1") == old);
  kel::Safe with_new(v2, kOtherPassword);
  ASSERT_EQ(with_new.add_entry(kel::Entry("three", value_for("three")), error), 0) << error;
  const std::string now = read_file(v2);
  const ref::StoreWalk walk = ref::walk_store_bytes(now, kOtherPassword, true);
  ASSERT_EQ(walk.problem, "");
  ASSERT_EQ(walk.records.size(), 3u);
  for (const auto& record : walk.records) EXPECT_TRUE(record.value == value_for(record.name));
  EXPECT_NE(walk.store_key, *old_key);
  EXPECT_NE(now.substr(ref::kV2IdAt, ref::kV2IdLen), old.substr(ref::kV2IdAt, ref::kV2IdLen));
  EXPECT_EQ(now.substr(ref::kV2MemoryAt, 12), old.substr(ref::kV2MemoryAt, 12));
  EXPECT_FALSE(ref::unwrap_store_key_v2(now, kPassword).has_value());
  for (const auto& span : ref::record_spans(now)) {
    EXPECT_FALSE(ref::open_name(now, span, *old_key, old.substr(ref::kV2IdAt, ref::kV2IdLen)));
    EXPECT_FALSE(ref::open_value(now, span, *old_key, ref::open_name(now, span, walk.store_key,
                                                                     walk.store_id)
                                                          .value_or("")));
  }
  // The old header on the new records: its password opens the header, and
  // nothing else.
  const std::string spliced = dir.file("spliced.safe");
  write_file(spliced, old.substr(0, kHeaderSize) + now.substr(kHeaderSize));
  kel::Safe old_header(spliced, kPassword);
  EXPECT_TRUE(old_header.key_verified(error)) << error;
  for (const char* n : {"one", "two", "three"}) {
    kel::Entry e(n);
    EXPECT_EQ(old_header.get_entry(e, error), -1) << n;
  }
  std::vector<std::string> names;
  old_header.list_entries(names, error);
  EXPECT_TRUE(names.empty()) << names.size();
  // The Safe that rotated held the old key: it refuses the new file.
  kel::Entry one("one");
  EXPECT_EQ(maker.get_entry(one, error), -1);
  EXPECT_EQ(maker.status(), kel::Status::changed) << error;
  // The same password again still draws a new key.
  ASSERT_EQ(with_new.rotate_key(v2, kOtherPassword, kOtherPassword, error), 0) << error;
  const auto third = ref::unwrap_store_key_v2(read_file(v2), kOtherPassword);
  ASSERT_TRUE(third.has_value());
  EXPECT_NE(*third, walk.store_key);
  expect_v2_reads(v2, kOtherPassword, {"one", "two", "three"});

  const std::string v1 = read_file(path);
  kel::Safe format1(path, kPassword);
  EXPECT_EQ(format1.rotate_key(path, kPassword, kOtherPassword, error), -1);
  EXPECT_EQ(format1.status(), kel::Status::invalid_argument);
  EXPECT_NE(error.find("format 1"), std::string::npos) << error;
  EXPECT_EQ(format1.rotate_key(v2, kPassword, kOtherPassword, error), -1);
  EXPECT_EQ(error, "Invalid password");
  EXPECT_TRUE(read_file(path) == v1);
  EXPECT_FALSE(std::filesystem::exists(path + ".backup1"));
}

// A password change with new Argon2id parameters rewrites only the header:
// the same key, wrapped under the new password with the new parameters. A
// format-1 store has none to set and is refused.
TEST_F(ChangePassword, NewKdfParametersRewrapTheSameKey) {
  const std::string v2 = dir.file("v2.safe");
  kel::Safe maker(v2, kPassword);
  std::string error;
  ASSERT_EQ(maker.create_safe(cheapest_v2(), error), 0) << error;
  ASSERT_EQ(maker.add_entry(kel::Entry("one", value_for("one")), error), 0) << error;
  const std::string old = read_file(v2);
  kel::StoreOptions wanted = cheapest_v2();
  wanted.kdf_memory_kib = 20 * 1024;
  wanted.kdf_passes = 2;
  ASSERT_EQ(maker.change_key(v2, kPassword, kOtherPassword, wanted, error), 0) << error;
  const std::string now = read_file(v2);
  EXPECT_TRUE(now.substr(kHeaderSize) == old.substr(kHeaderSize));
  EXPECT_EQ(ref::unwrap_store_key_v2(now, kOtherPassword), ref::unwrap_store_key_v2(old, kPassword));
  kel::FormatInfo info;
  kel::Safe reader(v2, kOtherPassword);
  ASSERT_EQ(reader.format_info(info, error), 0) << error;
  EXPECT_EQ(info.kdf_memory_kib, 20u * 1024);
  EXPECT_EQ(info.kdf_passes, 2u);
  expect_v2_reads(v2, kOtherPassword, {"one"});

  const std::string v1 = read_file(path);
  kel::Safe format1(path, kPassword);
  EXPECT_EQ(format1.change_key(path, kPassword, kOtherPassword, wanted, error), -1);
  EXPECT_EQ(format1.status(), kel::Status::invalid_argument);
  EXPECT_TRUE(read_file(path) == v1);
  EXPECT_FALSE(std::filesystem::exists(path + ".backup1"));
}

// An upgrade draws a new store key and seals every name and value again
// under it in format 2, keeps the old file as the rewrite backup and opens
// with the same password. The format-1 key, which the backup gives up to
// cheap guessing, opens no record of the new file; a Safe that holds it
// refuses the new file instead of reading its records as damage. A second
// upgrade, or one through an opened Safe, is refused without a change.
TEST_F(ChangePassword, UpgradeResealsEveryRecordUnderANewKey) {
  kel::Safe opened(path, kPassword);
  expect_reads_all(opened);
  std::string error;
  const std::string old = read_file(path);
  EXPECT_EQ(opened.upgrade(cheapest_v2(), error), -1);
  EXPECT_NE(error.find("new Safe"), std::string::npos) << error;
  EXPECT_TRUE(read_file(path) == old);

  kel::Safe upgrading(path, kPassword);
  ASSERT_EQ(upgrading.upgrade(cheapest_v2(), error), 0) << error;
  EXPECT_EQ(upgrading.format_version(error), 2);
  EXPECT_TRUE(read_file(path + ".backup2") == old);
  expect_reads_all(upgrading);
  ASSERT_EQ(upgrading.add_entry(kel::Entry("four", value_for("four")), error), 0) << error;
  // The Safe that holds the format-1 key refuses the new file.
  kel::Entry one("one");
  EXPECT_EQ(opened.get_entry(one, error), -1);
  EXPECT_EQ(opened.status(), kel::Status::changed);
  EXPECT_NE(error.find("new store key since this Safe opened it"), std::string::npos) << error;
  EXPECT_EQ(opened.add_entry(kel::Entry("five", "5"), error), -1);

  // The backup's key, taken with the password through the library itself.
  kel::Store backup(path + ".backup2", kPassword);
  backup.file_extension.clear();
  backup.set_file_name(path + ".backup2");
  ASSERT_EQ(backup.open_store(error), 0) << error;
  unsigned char old_key[32];
  ASSERT_EQ(backup.get_store_key(old_key), 0);
  const std::string now = read_file(path);
  const ref::StoreWalk walk = ref::walk_store_bytes(now, kPassword, true);
  ASSERT_EQ(walk.problem, "");
  EXPECT_EQ(walk.format, 2);
  ASSERT_EQ(walk.records.size(), 4u);
  for (const auto& record : walk.records) EXPECT_TRUE(record.value == value_for(record.name));
  EXPECT_NE(walk.store_key, as_string(old_key, 32));
  const auto spans = ref::record_spans(now);
  ASSERT_EQ(spans.size(), 4u);
  for (const auto& span : spans) {
    EXPECT_FALSE(ref::open_name(now, span, as_string(old_key, 32), walk.store_id));
    EXPECT_TRUE(ref::open_name(now, span, walk.store_key, walk.store_id));
  }

  EXPECT_EQ(kel::Safe(path, kPassword).upgrade(cheapest_v2(), error), -1);
  EXPECT_EQ(error, "Store is in format 2 already");
  EXPECT_EQ(kel::Safe(path, kOtherPassword).upgrade(cheapest_v2(), error), -1);
  EXPECT_EQ(error, "Invalid password");
  EXPECT_TRUE(read_file(path) == now);
}

TEST_F(ChangePassword, TheChangingSafeKeepsItsOldPassword) {
  kel::Safe safe(path, kPassword);
  std::string error;
  expect_reads_all(safe);
  ASSERT_EQ(safe.change_key(path, kPassword, kOtherPassword, error), 0)
      << error;
  kel::Entry e("one");
  EXPECT_EQ(safe.get_entry(e, error), -1);
  EXPECT_EQ(safe.add_entry(kel::Entry("four", "4"), error), -1);
  kel::Safe fresh(path, kOtherPassword);
  EXPECT_FALSE(fresh.exists("four"));
}

TEST_F(ChangePassword, OpenSafeInAnotherProcessKeepsWorking) {
  kel::Safe open_before(path, kPassword);
  expect_reads_all(open_before);
  const std::string p = path;
  ASSERT_EQ(run_in_child([&p]() -> int {
              kel::Safe other(p, kPassword);
              std::string e;
              return other.change_key(p, kPassword, kOtherPassword, e) == 0 ? 0 : 1;
            }),
            0);
  std::string error;
  expect_reads_all(open_before);
  ASSERT_EQ(open_before.add_entry(kel::Entry("four", "4"), error), 0) << error;
  // Its password no longer matches the file, not even once a rewrite of its
  // own took the new header into the file it reads.
  EXPECT_FALSE(open_before.key_verified(error));
  ASSERT_EQ(open_before.remove_entry("four", error), 0) << error;
  ASSERT_EQ(open_before.add_entry(kel::Entry("four", "4"), error), 0) << error;
  error.clear();
  EXPECT_FALSE(open_before.key_verified(error));
  EXPECT_EQ(error, "Invalid password");
  kel::Safe fresh(path, kOtherPassword);
  kel::Entry four("four");
  ASSERT_EQ(fresh.get_entry(four, error), 0) << error;
  EXPECT_EQ(four.value(), "4");
  expect_reads_all(fresh);
}

// An open Safe holds the format-1 key, which an upgrade made in another
// process replaces: it refuses the upgraded file (reads and writes alike)
// rather than read its records as damage or seal new ones under a key
// nobody else holds, and works again once the upgrade's backup is put back.
// A Safe that opened the upgraded file refuses that backup the same way.
// Whether the wiped password opens a header of the other format cannot be
// told: key_verified says so, rather than calling it wrong (or right).
TEST_F(ChangePassword, OpenSafeRefusesAnUpgradeElsewhereUntilPutBack) {
  const std::string changed =
      "Could not verify password: the store file changed format since this Safe "
      "opened it; verify it through a new Safe";
  kel::Safe opened(path, kPassword);
  expect_reads_all(opened);
  std::string error;
  ASSERT_TRUE(opened.key_verified(error)) << error;
  const std::string p = path;
  ASSERT_EQ(run_in_child([&p]() -> int {
              kel::Safe other(p, kPassword);
              std::string e;
              return other.upgrade(cheapest_v2(), e) == 0 ? 0 : 1;
            }),
            0);
  const std::string format1 = dir.file("format1.safe");
  std::filesystem::copy_file(path + ".backup2", format1);
  const std::string upgraded_bytes = read_file(path);
  for (int pass = 0; pass < 2; ++pass) {  // before and after it tried the new file
    error.clear();
    EXPECT_FALSE(opened.key_verified(error));
    EXPECT_EQ(error, changed);
    kel::Entry one("one");
    EXPECT_EQ(opened.get_entry(one, error), -1);
    EXPECT_EQ(opened.status(), kel::Status::changed) << error;
  }
  std::vector<std::string> names;
  EXPECT_EQ(opened.list_entries(names, error), -1);
  EXPECT_EQ(opened.add_entry(kel::Entry("four", "4"), error), -1);
  EXPECT_EQ(opened.remove_entry("two", error), -1);
  EXPECT_EQ(opened.status(), kel::Status::changed) << error;
  EXPECT_TRUE(read_file(path) == upgraded_bytes);

  // Back: the first Safe reads and writes the format-1 file again; a Safe
  // that opened the format-2 file refuses it.
  kel::Safe upgraded(path, kPassword);
  kel::Entry one("one");
  ASSERT_EQ(upgraded.get_entry(one, error), 0) << error;
  ASSERT_TRUE(upgraded.key_verified(error)) << error;
  std::filesystem::rename(format1, path);
  error.clear();
  EXPECT_FALSE(upgraded.key_verified(error));
  EXPECT_EQ(error, changed);
  EXPECT_EQ(upgraded.get_entry(one, error), -1);
  EXPECT_EQ(upgraded.status(), kel::Status::changed) << error;
  EXPECT_TRUE(opened.key_verified(error)) << error;
  expect_reads_all(opened);
  ASSERT_EQ(opened.add_entry(kel::Entry("five", "5"), error), 0) << error;
  const ref::StoreWalk walk = ref::walk_store_bytes(read_file(path), kPassword, true);
  ASSERT_EQ(walk.problem, "");
  EXPECT_EQ(walk.format, 1);
  EXPECT_EQ(walk.records.size(), 4u);
}

// A removal by a Safe opened before another process changed the password
// copies the file's new header, not the one it read when it opened.
TEST_F(ChangePassword, RemovalAfterAChangeElsewhereKeepsTheNewHeader) {
  kel::Safe open_before(path, kPassword);
  ASSERT_TRUE(open_before.exists("two"));
  const std::string p = path;
  ASSERT_EQ(run_in_child([&p]() -> int {
              kel::Safe other(p, kPassword);
              std::string e;
              return other.change_key(p, kPassword, kOtherPassword, e) == 0 ? 0 : 1;
            }),
            0);
  const std::string header = read_file(path).substr(0, kHeaderSize);
  std::string error;
  ASSERT_EQ(open_before.remove_entry("two", error), 0) << error;
  EXPECT_EQ(read_file(path).substr(0, kHeaderSize), header);
  kel::Safe fresh(path, kOtherPassword);
  EXPECT_FALSE(fresh.exists("two"));
  for (const char* n : {"one", "three"}) {
    kel::Entry e(n);
    ASSERT_EQ(fresh.get_entry(e, error), 0) << n << ": " << error;
    EXPECT_TRUE(e.value() == value_for(n));
  }
}

TEST_F(ChangePassword, SecondChangeReplacesTheBackup) {
  kel::Safe safe(path, kPassword);
  std::string error;
  ASSERT_EQ(safe.change_key(path, kPassword, kOtherPassword, error), 0) << error;
  const std::string between = read_file(path);
  // The name may be given without its extension.
  const std::string bare = path.substr(0, path.size() - 5);
  ASSERT_EQ(safe.change_key(bare, kOtherPassword, "Third-Pass-99-Word", error), 0)
      << error;
  EXPECT_TRUE(read_file(path + ".backup1") == between);
  kel::Safe third(path, "Third-Pass-99-Word");
  expect_reads_all(third);
}

// Another member of a shared directory's group plants links: one where the
// backup goes, one standing for the store itself. The backup replaces the
// planted link (never writing through it) and lands beside the real store;
// the store's link stays a link.
TEST_F(ChangePassword, PlantedLinksRedirectNothing) {
  namespace fs = std::filesystem;
  const auto private_mode = fs::perms::owner_read | fs::perms::owner_write;
  const std::string victim = dir.file("private-notes");
  write_file(victim, "mine");
  fs::permissions(victim, private_mode);
  fs::permissions(path, private_mode);
  fs::create_directory(dir.file("real"));
  const std::string real = dir.file("real/change.safe");
  fs::rename(path, real);
  fs::create_symlink(real, path);
  fs::create_symlink(victim, path + ".backup1");
  fs::create_symlink(victim, real + ".backup1");
  const std::string old = read_file(real);

  kel::Safe safe(path, kPassword);
  std::string error;
  kel::test::DiagnosticCapture capture;
  ASSERT_EQ(safe.change_key(path, kPassword, kOtherPassword, error), 0) << error;
  EXPECT_NE(capture.take().find(real + ".backup1"), std::string::npos);
  EXPECT_EQ(read_file(victim), "mine");
  EXPECT_EQ(fs::status(victim).permissions(), private_mode);
  EXPECT_TRUE(fs::is_symlink(path));
  EXPECT_TRUE(fs::is_symlink(path + ".backup1"));  // not ours: left alone
  ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(real + ".backup1")));
  EXPECT_TRUE(read_file(real + ".backup1") == old);
  EXPECT_EQ(fs::status(real + ".backup1").permissions(), private_mode);
  kel::Safe reopened(path, kOtherPassword);
  expect_reads_all(reopened);
}

TEST_F(ChangePassword, RefusalsLeaveNoBackup) {
  const std::string old = read_file(path);
  struct Case {
    std::string name, old_password, new_password, message;
  };
  const std::vector<Case> cases = {
      {"", "", "", "store required"},
      {"", kPassword, kOtherPassword, "store required"},
      {path, "", kOtherPassword, "password cannot be empty"},
      {path, kPassword, "", "password cannot be empty"},
      {path, kPassword, "Short-1a", "Minimum password length is: 14 characters"},
      {path, kPassword, "alllowercaseletters!", "Invalid password, digit required"},
      {path, kPassword, "Has Space 123 x!", "Invalid password, no whitespace allow"},
      {path, kPassword, "NoSymbolsHere1234", "Invalid password, non alphanumeric char required"},
      {path, kOtherPassword, "Brand-New-Pass-55", "Invalid password"},
      {path, kOtherPassword, kOtherPassword, "Invalid password"},
  };
  kel::Safe safe(path, kPassword);
  for (const Case& c : cases) {
    std::string error = "previous";
    kel::test::DiagnosticCapture capture;
    EXPECT_EQ(safe.change_key(c.name, c.old_password, c.new_password, error), -1)
        << c.message;
    const std::string printed = capture.take();
    EXPECT_EQ(error, c.message);
    EXPECT_EQ(printed.find("backup file: "), std::string::npos) << c.message;
    EXPECT_FALSE(std::filesystem::exists(path + ".backup1")) << c.message;
    EXPECT_TRUE(read_file(path) == old) << c.message;
  }
  // The refusals did not disturb the Safe.
  expect_reads_all(safe);

  // A missing store.
  kel::Safe nowhere;
  std::string error;
  EXPECT_EQ(nowhere.change_key(dir.file("missing"), kPassword, kOtherPassword,
                               error),
            -1);
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing.safe.backup1")));
}

// Key slots of every kind (format 3): each opens the store with its own key
// and nothing else does; a revocation draws a new key that the revoked slot,
// and a copy of the header from before, open nothing of.
struct SlotKindRow {
  const char* name;
  kel::SlotKind kind;
};
// Printed by name: GoogleTest would print the row's bytes, its padding too,
// which memcheck rightly calls uninitialised.
void PrintTo(const SlotKindRow& row, std::ostream* os) { *os << row.name; }

class KeySlots : public ::testing::TestWithParam<SlotKindRow> {
 protected:
  void SetUp() override {
    path = dir.file("slots.safe");
    create_store(path, kPassword, 3);
    write_file(dir.file("key1"), "the first key file's content");
    write_file(dir.file("key2"), "another key file");
    std::string error;
    ASSERT_EQ(kel::generate_identity(identity, public_key, error), kel::Status::ok) << error;
    ASSERT_EQ(kel::generate_identity(other_identity, other_public, error), kel::Status::ok);
  }
  // Grants the row's slot through `safe`: password kOtherPassword, key file
  // key1 with kOtherPassword, or the recipient `public_key`.
  int grant(kel::Safe& safe, std::string& error) {
    switch (GetParam().kind) {
      case kel::SlotKind::password:
        return safe.grant_password(kOtherPassword, "second", error);
      case kel::SlotKind::password_and_key_file:
        return safe.grant_key_file(kOtherPassword, dir.file("key1"), "second", error);
      default:
        return safe.grant_recipient(public_key, "second", error);
    }
  }
  // A Safe on `store` that opens through the row's slot.
  std::unique_ptr<kel::Safe> opener(const std::string& store) {
    std::string error;
    const bool recipient = GetParam().kind == kel::SlotKind::recipient;
    auto safe = std::make_unique<kel::Safe>(store, recipient ? "" : kOtherPassword);
    if (GetParam().kind == kel::SlotKind::password_and_key_file) {
      EXPECT_EQ(safe->use_key_file(dir.file("key1"), error), 0) << error;
    }
    if (recipient) {
      EXPECT_EQ(safe->use_identity(identity, error), 0) << error;
    }
    return safe;
  }
  // Safes with keys that must not open the row's slot (nor any other).
  std::vector<std::unique_ptr<kel::Safe>> wrong_openers(const std::string& store) {
    std::vector<std::unique_ptr<kel::Safe>> safes;
    std::string error;
    const auto add = [&](const std::string& password, const char* key_file,
                         const std::string* id) {
      safes.push_back(std::make_unique<kel::Safe>(store, password));
      if (key_file != nullptr) safes.back()->use_key_file(dir.file(key_file), error);
      if (id != nullptr) safes.back()->use_identity(*id, error);
    };
    switch (GetParam().kind) {
      case kel::SlotKind::password:
        add("Wrong-Password-99-Zebra", nullptr, nullptr);
        break;
      case kel::SlotKind::password_and_key_file:
        add(kOtherPassword, nullptr, nullptr);  // the password without its key file
        add(kPassword, "key1", nullptr);        // the key file without its password
        add(kOtherPassword, "key2", nullptr);   // another key file
        break;
      default:
        add("", nullptr, &other_identity);  // another identity
        add(kOtherPassword, nullptr, nullptr);
        break;
    }
    return safes;
  }
  TempDir dir;
  std::string path, identity, public_key, other_identity, other_public;
};

TEST_P(KeySlots, OpenGrantRevoke) {
  kel::Safe owner(path, kPassword);
  std::string error;
  ASSERT_EQ(owner.add_entry(kel::Entry("one", value_for("one")), error), 0) << error;
  ASSERT_EQ(grant(owner, error), 0) << error;
  std::vector<kel::SlotInfo> slots;
  ASSERT_EQ(owner.list_slots(slots, error), 0) << error;
  ASSERT_EQ(slots.size(), 2u);
  EXPECT_EQ(slots[1].kind, GetParam().kind);
  EXPECT_EQ(slots[1].label, "second");
  EXPECT_TRUE(slots[0].intact && slots[1].intact);
  EXPECT_TRUE(slots[0].opened_here);
  EXPECT_FALSE(slots[1].opened_here);
  if (GetParam().kind == kel::SlotKind::recipient) {
    EXPECT_EQ(slots[1].public_key, public_key);
  }
  // No recipient slot for a public key the store has a slot of, whatever
  // its kind: that slot's secret would open it after the other is revoked.
  EXPECT_EQ(owner.grant_recipient(slots[GetParam().kind == kel::SlotKind::recipient ? 0 : 1]
                                      .public_key, "twin", error),
            -1);
  EXPECT_EQ(owner.status(), kel::Status::exists) << error;
  // The owner's Safe goes on through the new header (a grant keeps the key).
  ASSERT_EQ(owner.add_entry(kel::Entry("two", value_for("two")), error), 0) << error;
  {
    auto safe = opener(path);
    kel::Entry one("one");
    ASSERT_EQ(safe->get_entry(one, error), 0) << error;
    EXPECT_TRUE(one.value() == value_for("one"));
    ASSERT_EQ(safe->list_slots(slots, error), 0) << error;
    EXPECT_TRUE(slots[1].opened_here && !slots[0].opened_here);
  }
  for (auto& wrong : wrong_openers(path)) {
    kel::Entry one("one");
    EXPECT_EQ(wrong->get_entry(one, error), -1);
    EXPECT_EQ(wrong->status(), kel::Status::wrong_password) << error;
  }
  // A reader that opened before the revocation.
  auto before = opener(path);
  ASSERT_TRUE(before->key_verified(error)) << error;
  const std::string old_file = read_file(path);
  ASSERT_EQ(owner.revoke_slot(1, error), 0) << error;
  EXPECT_TRUE(read_file(path + ".backup2") == old_file);
  ASSERT_EQ(owner.add_entry(kel::Entry("three", value_for("three")), error), 0) << error;
  kel::Entry two("two");
  EXPECT_EQ(before->get_entry(two, error), -1);
  EXPECT_EQ(before->status(), kel::Status::changed) << error;
  EXPECT_EQ(opener(path)->get_entry(two, error), -1);
  EXPECT_EQ(error, GetParam().kind == kel::SlotKind::recipient
                       ? "No key slot of this store opens with this identity"
                       : "Invalid password");
  kel::Safe fresh(path, kPassword);
  for (const char* n : {"one", "two", "three"}) {
    kel::Entry e(n);
    ASSERT_EQ(fresh.get_entry(e, error), 0) << n << ": " << error;
    EXPECT_TRUE(e.value() == value_for(n)) << n;
  }
  // The header from before on the records of after, given their generation
  // (a slot granted again makes it as long as before): the revoked key
  // opens the header and nothing written since the revocation.
  const std::string third = "Third-Password-55-Quay";
  switch (GetParam().kind) {
    case kel::SlotKind::password:
      ASSERT_EQ(owner.grant_password(third, "second", error), 0) << error;
      break;
    case kel::SlotKind::password_and_key_file:
      ASSERT_EQ(owner.grant_key_file(third, dir.file("key2"), "second", error), 0) << error;
      break;
    default:
      ASSERT_EQ(owner.grant_recipient(other_public, "second", error), 0) << error;
  }
  const std::string now = read_file(path);
  const std::size_t length = get_le(old_file, 12, 4);
  ASSERT_EQ(get_le(now, 12, 4), length);
  std::string header = old_file.substr(0, length);
  header.replace(32, 16, now.substr(32, 16));
  const std::string spliced = dir.file("spliced.safe");
  write_file(spliced, header + now.substr(length));
  auto old_header = opener(spliced);
  EXPECT_TRUE(old_header->key_verified(error)) << error;
  std::vector<std::string> names;
  old_header->list_entries(names, error);
  EXPECT_TRUE(names.empty()) << names.size();
  kel::Entry three("three");
  EXPECT_EQ(old_header->get_entry(three, error), -1);
  write_file(spliced, now);  // the control: the same records, their own header
  EXPECT_EQ(opener(spliced)->get_entry(three, error), -1);
  kel::Safe control(spliced, kPassword);
  ASSERT_EQ(control.get_entry(three, error), 0) << error;
  // The revoked slot put back in place of the new one opens the old key,
  // which opens no record: a repair through it would empty the store, and
  // is refused with the file left as it is.
  std::string replayed = now;
  replayed.replace(52 + 257, length - 52 - 257, old_file.substr(52 + 257, length - 52 - 257));
  write_file(path, replayed);
  kel::IntegrityReport report;
  EXPECT_EQ(opener(path)->repair(report, error), -1);
  EXPECT_TRUE(read_file(path) == replayed);
  write_file(path, now);
  // The owner revokes its own slot: the row's kind alone opens the store
  // (a header of one recipient slot is shorter than any password slot).
  ASSERT_EQ(owner.revoke_slot(0, error), 0) << error;
  const bool recipient = GetParam().kind == kel::SlotKind::recipient;
  kel::Safe last(path, recipient ? "" : third);
  if (GetParam().kind == kel::SlotKind::password_and_key_file) {
    ASSERT_EQ(last.use_key_file(dir.file("key2"), error), 0) << error;
  }
  if (recipient) {
    ASSERT_EQ(last.use_identity(other_identity, error), 0) << error;
  }
  ASSERT_EQ(last.get_entry(three, error), 0) << error;
  EXPECT_TRUE(three.value() == value_for("three"));
  // The last intact slot stays; a slot that is not there is not found.
  EXPECT_EQ(owner.revoke_slot(0, error), -1);
  EXPECT_EQ(owner.status(), kel::Status::invalid_argument) << error;
  EXPECT_EQ(owner.revoke_slot(5, error), -1);
  EXPECT_EQ(owner.status(), kel::Status::not_found) << error;
}

// A slot of another store, put into this one's header in place of its own
// (records stay where they are), is not intact and opens nothing; the next
// grant drops it. A damaged slot costs that slot alone.
TEST_P(KeySlots, ForeignAndDamagedSlotsCostThemselvesAlone) {
  const std::string foreign = dir.file("foreign.safe");
  create_store(foreign, kPassword, 3);
  std::string error;
  {
    kel::Safe other(foreign, kPassword);
    ASSERT_EQ(grant(other, error), 0) << error;
    kel::Safe owner(path, kPassword);
    ASSERT_EQ(owner.add_entry(kel::Entry("one", value_for("one")), error), 0) << error;
    ASSERT_EQ(grant(owner, error), 0) << error;
  }
  const std::string good = read_file(path), theirs = read_file(foreign);
  const std::size_t length = get_le(good, 12, 4);
  ASSERT_EQ(get_le(theirs, 12, 4), length);
  std::string moved = good;
  moved.replace(52 + 257, length - 52 - 257, theirs.substr(52 + 257, length - 52 - 257));
  write_file(path, moved);
  std::vector<kel::SlotInfo> slots;
  kel::Entry one("one");
  {
    kel::Safe owner(path, kPassword);
    ASSERT_EQ(owner.list_slots(slots, error), 0) << error;
    ASSERT_EQ(slots.size(), 2u);
    EXPECT_TRUE(slots[0].intact);
    EXPECT_FALSE(slots[1].intact);
    auto refused = opener(path);
    EXPECT_EQ(refused->get_entry(one, error), -1);
    // Its secret key is sealed to the other store's identifier; a recipient
    // slot's key is wrapped to it: the identity opens the slot's secret
    // side and finds the rest broken.
    EXPECT_EQ(refused->status(), GetParam().kind == kel::SlotKind::recipient
                                     ? kel::Status::damaged
                                     : kel::Status::wrong_password)
        << error;
    ASSERT_EQ(owner.grant_password(kOtherPassword, "", error), 0) << error;
    ASSERT_EQ(owner.list_slots(slots, error), 0) << error;
    ASSERT_EQ(slots.size(), 2u);
    EXPECT_TRUE(slots[1].intact && slots[1].kind == kel::SlotKind::password);
  }
  // A byte of its wrapped key or MAC; its kind (to another known kind),
  // reserved byte or label length, whose slot keeps its frame.
  const std::size_t slot1 = 52 + 257, second = slot1 + 13 + std::string("second").size();
  const std::pair<std::size_t, int> flips[] = {{second + 80, 0x10}, {length - 1, 0x10},
                                               {slot1, 0x01}, {slot1 + 1, 0x04},
                                               {slot1 + 12, 0x10}};
  for (const auto& [at, mask] : flips) {
    std::string damaged = good;
    damaged[at] = static_cast<char>(damaged[at] ^ mask);
    write_file(path, damaged);
    EXPECT_EQ(opener(path)->get_entry(one, error), -1) << at;
    kel::Safe password(path, kPassword);
    ASSERT_EQ(password.get_entry(one, error), 0) << at << ": " << error;
    ASSERT_EQ(password.list_slots(slots, error), 0) << error;
    EXPECT_FALSE(slots[1].intact) << at;
  }
}

// A key rotation of a format-3 store keeps its identifier and every other
// slot (wrapped to the new key): only the rotating password's slot changes.
TEST_P(KeySlots, RotateKeyKeepsTheOtherSlots) {
  std::string error;
  const std::string rotated = "Rotated-Password-31-Yak";
  {
    kel::Safe owner(path, kPassword);
    ASSERT_EQ(owner.add_entry(kel::Entry("one", value_for("one")), error), 0) << error;
    ASSERT_EQ(owner.grant_password(kOtherPassword, "", error), 0) << error;
    ASSERT_EQ(owner.revoke_slot(1, error), 0) << error;  // slot 0 opened; slot 1 no more
    ASSERT_EQ(grant(owner, error), 0) << error;
  }
  const std::string before = read_file(path);
  auto reader = opener(path);
  ASSERT_TRUE(reader->key_verified(error)) << error;
  kel::Safe rotator(path, kPassword);
  ASSERT_EQ(rotator.rotate_key(path, kPassword, rotated, error), 0) << error;
  const std::string after = read_file(path);
  EXPECT_EQ(after.substr(16, 16), before.substr(16, 16));  // the store_id stays
  EXPECT_EQ(get_le(after, 12, 4), get_le(before, 12, 4));
  kel::Entry one("one");
  EXPECT_EQ(reader->get_entry(one, error), -1);  // it holds the old key
  EXPECT_EQ(reader->status(), kel::Status::changed) << error;
  ASSERT_EQ(opener(path)->get_entry(one, error), 0) << error;
  EXPECT_TRUE(one.value() == value_for("one"));
  kel::Safe old_password(path, kPassword);
  EXPECT_EQ(old_password.get_entry(one, error), -1);
  EXPECT_EQ(old_password.status(), kel::Status::wrong_password);
  kel::Safe new_password(path, rotated);
  ASSERT_EQ(new_password.get_entry(one, error), 0) << error;
  std::vector<kel::SlotInfo> slots;
  ASSERT_EQ(new_password.list_slots(slots, error), 0) << error;
  ASSERT_EQ(slots.size(), 2u);
  EXPECT_TRUE(slots[0].opened_here && slots[1].intact && slots[1].label == "second");
}

INSTANTIATE_TEST_SUITE_P(Kinds, KeySlots,
                         ::testing::Values(SlotKindRow{"Password", kel::SlotKind::password},
                                           SlotKindRow{"KeyFile",
                                                       kel::SlotKind::password_and_key_file},
                                           SlotKindRow{"Recipient", kel::SlotKind::recipient}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kel::test::items
