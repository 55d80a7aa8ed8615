// Checking a password against a store file's header, in both forms, before
// and after the store was opened.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>

#include "kel/entry.h"
#include "kel/safe.h"
#include "kel/store.h"
#include "support/reference_store.h"
#include "support/test_support.h"
#include "support/unit_util.h"

namespace {

using kel::test::errno_text;
using kel::test::kOtherPassword;
using kel::test::kPassword;
using kel::test::read_file;
using kel::test::TempDir;
using kel::test::write_file;
namespace ref = kel::test::ref;

class VerifyPassword : public testing::Test {
 protected:
  void SetUp() override {
    name = dir.file("vault");
    path = name + ".safe";
    ref::StoreImage image(kPassword);
    image.add("item", "value");
    write_file(path, image.bytes());
  }
  TempDir dir;
  std::string name;
  std::string path;
};

TEST_F(VerifyPassword, RightPasswordLeavesTheErrorTextAlone) {
  kel::Store store(name, kPassword);
  std::string error = "as the caller left it";
  EXPECT_TRUE(store.verify_store_password(error));
  EXPECT_EQ(error, "as the caller left it");
  kel::Store other;
  EXPECT_TRUE(other.verify_store_password(name, kPassword, error));
  EXPECT_EQ(error, "as the caller left it");
}

TEST_F(VerifyPassword, CheckingTouchesNoStoreMember) {
  const int before = kel::test::open_descriptor_count();
  kel::Store store(name, kPassword);
  std::string error;
  EXPECT_TRUE(store.verify_store_password(error));
  EXPECT_FALSE(store.verify_store_password(name, kOtherPassword, error));
  EXPECT_EQ(store.store_fd, -1);
  EXPECT_FALSE(store.store_opened);
  EXPECT_EQ(store.file_path, path);
  EXPECT_EQ(store.password, kPassword);
  for (unsigned char b : store.password_hash) EXPECT_EQ(b, 0);
  for (unsigned char b : store.password_salt) EXPECT_EQ(b, 0);
  EXPECT_EQ(kel::test::open_descriptor_count(), before);

  kel::Store elsewhere(dir.file("elsewhere"), kOtherPassword);
  EXPECT_TRUE(elsewhere.verify_store_password(name, kPassword, error));
  EXPECT_EQ(elsewhere.file_path, dir.file("elsewhere.safe"));
  EXPECT_EQ(elsewhere.password, kOtherPassword);
}

TEST_F(VerifyPassword, WrongPasswordIsInvalid) {
  kel::Store store(name, kOtherPassword);
  std::string error;
  EXPECT_FALSE(store.verify_store_password(error));
  EXPECT_EQ(error, "Invalid password");
  error.clear();
  EXPECT_FALSE(store.verify_store_password(name, kPassword + "x", error));
  EXPECT_EQ(error, "Invalid password");
  // Passwords that differ only past a zero byte are different passwords.
  error.clear();
  EXPECT_FALSE(store.verify_store_password(name, kPassword + std::string(1, '\0'), error));
  EXPECT_EQ(error, "Invalid password");
}

TEST_F(VerifyPassword, EmptyPasswordIsInvalid) {
  kel::Store store(name, "");
  std::string error;
  EXPECT_FALSE(store.verify_store_password(error));
  EXPECT_EQ(error, "Invalid password");
  error.clear();
  EXPECT_FALSE(store.verify_store_password(name, "", error));
  EXPECT_EQ(error, "Invalid password");
  // An empty password hashes to nothing; a header of zeros must not match.
  write_file(path, std::string(132, '\0'));
  for (const bool named : {false, true}) {
    error.clear();
    EXPECT_FALSE(named ? store.verify_store_password(name, "", error)
                       : store.verify_store_password(error));
    EXPECT_EQ(error, "Invalid password");
  }
}

TEST_F(VerifyPassword, MissingFileNamesTheSystemError) {
  kel::Store store(dir.file("missing"), kPassword);
  std::string error;
  EXPECT_FALSE(store.verify_store_password(error));
  EXPECT_EQ(error, "could not open: " + dir.file("missing.safe") + " - " + errno_text(ENOENT));
  EXPECT_FALSE(store.verify_store_password(dir.file("missing"), kPassword, error));
  EXPECT_EQ(error, "could not open store: " + errno_text(ENOENT));
}

TEST_F(VerifyPassword, DirectoryInPlaceOfTheFileIsNotAStore) {
  ASSERT_EQ(mkdir(dir.file("adir.safe").c_str(), 0700), 0);
  kel::Store store(dir.file("adir"), kPassword);
  std::string error;
  EXPECT_FALSE(store.verify_store_password(error));
  EXPECT_EQ(error, "Not a kel-safe store: " + dir.file("adir.safe") + " is a directory");
}

TEST_F(VerifyPassword, FilesShorterThanAHeaderAreNotStores) {
  const std::string full = read_file(path);
  for (std::size_t size : {0u, 1u, 63u, 64u, 70u, 71u, 72u, 131u}) {
    write_file(path, full.substr(0, size));
    kel::Store store(name, kPassword);
    const std::string expected =
        "Not a kel-safe store: " + path +
        (size == 0 ? std::string(" is empty")
                   : " is shorter than a store header (" + std::to_string(size) +
                         " of 132 bytes)");
    std::string error;
    EXPECT_FALSE(store.verify_store_password(error)) << size;
    EXPECT_EQ(error, expected) << size;
    error.clear();
    EXPECT_FALSE(store.verify_store_password(name, kPassword, error)) << size;
    EXPECT_EQ(error, expected) << size;
  }
  // A whole header is enough.
  write_file(path, full.substr(0, 132));
  kel::Store store(name, kPassword);
  std::string error;
  EXPECT_TRUE(store.verify_store_password(error)) << error;
}

TEST_F(VerifyPassword, ChangedHashOrSaltByteIsInvalid) {
  const std::string full = read_file(path);
  for (std::size_t at : {0u, 63u, 64u, 71u}) {
    std::string damaged = full;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x20);
    write_file(path, damaged);
    kel::Store store(name, kPassword);
    std::string error;
    EXPECT_FALSE(store.verify_store_password(error)) << at;
    EXPECT_EQ(error, "Invalid password") << at;
  }
}

// Format 2 has no hash: the wrapped key is the check, and every header byte
// before the wrapped key (parameters, salt, identifier, reserved bytes,
// nonce) is its additional data, so no change weakens it unnoticed.
TEST_F(VerifyPassword, ChangedVersion2HeaderByteIsInvalid) {
  const std::string v2 = dir.file("v2");
  kel::Safe safe(v2, kPassword);
  std::string error;
  ASSERT_EQ(safe.create_safe(kel::test::cheapest_v2(), error), 0) << error;
  const std::string full = read_file(v2 + ".safe");
  EXPECT_TRUE(kel::Store(v2, kPassword).verify_store_password(error)) << error;
  EXPECT_FALSE(kel::Store(v2, kOtherPassword).verify_store_password(error));
  // memory, passes (2 -> 3), lanes (1 -> 3), salt, identifier, reserved,
  // nonce, cipher, tag
  for (std::size_t at : {12u, 16u, 20u, 24u, 40u, 56u, 72u, 84u, 131u}) {
    std::string damaged = full;
    damaged[at] = static_cast<char>(damaged[at] ^ (at == 20 ? 0x02 : 0x01));
    write_file(v2 + ".safe", damaged);
    kel::Store store(v2, kPassword);
    error.clear();
    EXPECT_FALSE(store.verify_store_password(error)) << at;
    EXPECT_EQ(error, "Invalid password") << at;
    std::string opened;
    EXPECT_EQ(store.open_store(opened), -1) << at;
    EXPECT_FALSE(store.store_opened) << at;
  }
  // Parameters out of their bounds, as anyone who can write the file may
  // set them (memory, passes, lanes; the cheapest store has 19456, 2, 1).
  // Each alone bounds memory; the product bounds the time: 4 GiB and 32
  // passes, or 2 GiB and 65, would take one core many minutes. Every reader
  // refuses them before deriving anything, says why, and changes nothing.
  struct OutOfRange {
    std::uint32_t memory, passes, lanes;
    const char* says;
  };
  const auto files_here = [&] {
    std::set<std::string> names;
    for (const auto& file : std::filesystem::directory_iterator(dir.path())) {
      names.insert(file.path().filename().string());
    }
    return names;
  };
  const std::set<std::string> files_before = files_here();
  for (const OutOfRange& c :
       {OutOfRange{0, 1, 1, "memory 0 KiB is below the minimum of 19 MiB"},
        OutOfRange{19455, 1, 1, "memory 19455 KiB is below the minimum of 19 MiB"},
        OutOfRange{4194305, 1, 1, "memory 4194305 KiB is above the maximum of 4 GiB"},
        OutOfRange{0xFFFFFFFF, 1, 1, "memory 4294967295 KiB is above the maximum of 4 GiB"},
        OutOfRange{19456, 0, 1, "passes must be 1 to 1024, not 0"},
        OutOfRange{19456, 1025, 1, "passes must be 1 to 1024, not 1025"},
        OutOfRange{19456, 0xFFFFFFFF, 1, "passes must be 1 to 1024, not 4294967295"},
        OutOfRange{19456, 1, 0, "lanes must be 1 to 64, not 0"},
        OutOfRange{19456, 1, 65, "lanes must be 1 to 64, not 65"},
        // An edited header: 4 GiB and 32 passes, or any other product of
        // more than 32 GiB of passes, which creation never makes.
        OutOfRange{4194304, 32, 1, "asks for 4096 MiB (4194304 KiB) and 32 passes of "
                                   "Argon2id, more than kel-safe ever makes"},
        OutOfRange{4194304, 9, 1, "asks for 4096 MiB (4194304 KiB) and 9 passes"},
        OutOfRange{1048576, 33, 4, "asks for 1024 MiB (1048576 KiB) and 33 passes"},
        OutOfRange{524288, 65, 1, "asks for 512 MiB (524288 KiB) and 65 passes"},
        OutOfRange{2097152, 65, 64, "asks for 2048 MiB (2097152 KiB) and 65 passes"},
        OutOfRange{4194304, 1024, 1, "asks for 4096 MiB (4194304 KiB) and 1024 passes"}}) {
    SCOPED_TRACE(c.says);
    std::string hostile = full;
    hostile.replace(12, 12, ref::le32(c.memory) + ref::le32(c.passes) + ref::le32(c.lanes));
    write_file(v2 + ".safe", hostile);
    const std::string expected =
        "Store header damaged: its key derivation parameters are out of range: ";
    std::vector<std::string> said;
    kel::Store store(v2, kPassword);
    EXPECT_FALSE(store.verify_store_password(error));
    said.push_back(error);
    EXPECT_FALSE(kel::Store().verify_store_password(v2, kPassword, error));
    said.push_back(error);
    EXPECT_EQ(store.open_store(error), -1);
    said.push_back(error);
    EXPECT_FALSE(store.store_opened);
    kel::Safe safe_on_it(v2, kPassword);
    kel::FormatInfo info;
    EXPECT_EQ(safe_on_it.format_info(info, error), -1);
    said.push_back(error);
    EXPECT_EQ(safe_on_it.change_key(v2, kPassword, kOtherPassword, error), -1);
    said.push_back(error);
    kel::Entry entry("item");
    EXPECT_EQ(safe_on_it.get_entry(entry, error), -1);
    said.push_back(error);
    for (const std::string& message : said) {
      EXPECT_EQ(message.rfind(expected, 0), 0u) << message;
      EXPECT_NE(message.find(c.says), std::string::npos) << message;
      EXPECT_EQ(message.find(kPassword), std::string::npos) << message;
    }
    EXPECT_EQ(read_file(v2 + ".safe"), hostile);
    EXPECT_EQ(files_here(), files_before);
    // The tests' own reader keeps the same bounds.
    EXPECT_FALSE(ref::unwrap_store_key_v2(hostile, kPassword).has_value());
  }
}

// What a reader of format 1 does with a format-2 file: the library's own
// format-1 check (the hash of the password with the salt where format 1
// keeps them, then the key wrapped where format 1 keeps it) fails, and
// nothing in the file changes.
TEST_F(VerifyPassword, Version1CheckOfAVersion2FileFails) {
  const std::string v2 = dir.file("v2");
  kel::Safe safe(v2, kPassword);
  std::string error;
  ASSERT_EQ(safe.create_safe(kel::test::cheapest_v2(), error), 0) << error;
  ASSERT_EQ(safe.add_entry(kel::Entry("item", "value"), error), 0) << error;
  const std::string before = read_file(v2 + ".safe");
  const auto* bytes = reinterpret_cast<const unsigned char*>(before.data());
  kel::Store v1;
  unsigned char hash[64] = {};
  ASSERT_EQ(v1.store_hash(kel::test::bytes_of(kPassword), kPassword.size(), bytes + 64,
                          hash, error),
            0);
  EXPECT_FALSE(v1.verify_hash(hash, 64, bytes, 64));
  unsigned char key[32];
  EXPECT_EQ(v1.decrypt_store_key(bytes + 72, kPassword, bytes + 64, bytes + 104, key,
                                 bytes + 116, error),
            -1);
  EXPECT_FALSE(ref::walk_store_bytes(before, kOtherPassword, false).password_ok);
  EXPECT_EQ(read_file(v2 + ".safe"), before);
}

TEST_F(VerifyPassword, NamedFormAppliesTheExtensionRule) {
  kel::Store store;
  std::string error;
  EXPECT_TRUE(store.verify_store_password(name, kPassword, error)) << error;
  EXPECT_TRUE(store.verify_store_password(path, kPassword, error)) << error;
  // A name ending in the extension's letters in capitals gets ".safe" added.
  write_file(dir.file("upper.SAFE.safe"), read_file(path));
  EXPECT_TRUE(store.verify_store_password(dir.file("upper.SAFE"), kPassword, error)) << error;
  write_file(dir.file("only.SAFE"), read_file(path));
  EXPECT_FALSE(store.verify_store_password(dir.file("only.SAFE"), kPassword, error));
  EXPECT_EQ(error, "could not open store: " + errno_text(ENOENT));
}

TEST_F(VerifyPassword, AfterOpeningTellsWhetherTheFileStillMatches) {
  kel::Store store(name, kPassword);
  std::string text;
  ASSERT_EQ(store.open_store(text), 0) << text;
  std::string error = "untouched";
  EXPECT_TRUE(store.verify_store_password(error));
  EXPECT_EQ(error, "untouched");

  // Someone else gives the file a new password: new salt, new hash.
  const std::string original = read_file(path);
  const auto key = ref::unwrap_store_key(original, kPassword);
  ASSERT_TRUE(key.has_value());
  std::string changed = original;
  changed.replace(0, 132, ref::make_header(kOtherPassword, ref::random_bytes(8), *key,
                                           ref::random_bytes(12)));
  write_file(path, changed);
  EXPECT_FALSE(store.verify_store_password(error));
  EXPECT_EQ(error, "Invalid password");

  // Back to the header it was opened with.
  write_file(path, original);
  error = "untouched";
  EXPECT_TRUE(store.verify_store_password(error));
  EXPECT_EQ(error, "untouched");
}

TEST_F(VerifyPassword, AfterOpeningAMissingFileIsNotAMatch) {
  kel::Store store(name, kPassword);
  std::string text;
  ASSERT_EQ(store.open_store(text), 0) << text;
  ASSERT_EQ(std::remove(path.c_str()), 0);
  std::string error;
  EXPECT_FALSE(store.verify_store_password(error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
