// SHA-3 digests, the salted password hash and the constant-time comparison.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "kel/store.h"
#include "support/reference_store.h"
#include "support/test_support.h"
#include "support/unit_util.h"

namespace {

using kel::test::bytes_of;
using kel::test::hex;
using kel::test::unhex;
namespace ref = kel::test::ref;

// FIPS 202 known answers.
const std::string kSha3_512Empty =
    "a69f73cca23a9ac5c8b567dc185a756e97c982164fe25859e0d1dcc1475c80a6"
    "15b2123af1f5f94c11e3e9402c3ac558f500199d95b6d3e301758586281dcd26";
const std::string kSha3_512Abc =
    "b751850b1a57168a5693cd924b6b096e08f621827444f70d884f5d0240d2712e"
    "10e116e9192af3c91a7ec57647e3934057340b4cf408d5a56592f8274eec53f0";
const std::string kSha3_384Abc =
    "ec01498288516fc926459f58e2c6ad8df9b473cb0fc08c2596da7cf0e49be4b2"
    "98d88cea927ac7f539f1edf228376d25";
const std::string kSha3_256Abc =
    "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532";
const std::string kSha3_224Abc =
    "e642824c3f8cf24ad09234ee7d3c766fc9a3a5168d0c94ad73b46fdf";

// Runs hash_string into a buffer larger than any digest, pre-filled with a
// marker, and returns the whole buffer so callers can see how far it wrote.
std::string digest_into_marked_buffer(kel::Store& store, int size, const std::string& first,
                                      const std::string& second, int& result,
                                      std::string& error) {
  std::string out(80, '\x5a');
  result = store.hash_string(size, first.data(), static_cast<unsigned>(first.size()),
                             second.data(), static_cast<unsigned>(second.size()),
                             bytes_of(out), error);
  return out;
}

TEST(Digest, ReferenceDigestMatchesFips202) {
  // The test's own reference must agree with the published values before it
  // is used to judge the library.
  EXPECT_EQ(hex(ref::sha3(512, "")), kSha3_512Empty);
  EXPECT_EQ(hex(ref::sha3(512, "abc")), kSha3_512Abc);
}

TEST(Digest, EverySupportedSizeGivesTheFips202DigestOfAbc) {
  kel::Store store;
  const struct {
    int size;
    const std::string& expected;
  } cases[] = {{28, kSha3_224Abc}, {32, kSha3_256Abc}, {48, kSha3_384Abc}, {64, kSha3_512Abc}};
  for (const auto& c : cases) {
    std::string error = "untouched";
    int result = 0;
    const std::string out = digest_into_marked_buffer(store, c.size, "abc", "", result, error);
    EXPECT_EQ(result, 0) << c.size;
    EXPECT_EQ(hex(out.substr(0, c.size)), c.expected) << c.size;
    // Exactly `size` bytes written, nothing behind them.
    EXPECT_EQ(out.substr(c.size), std::string(80 - c.size, '\x5a')) << c.size;
    EXPECT_EQ(error, "untouched");
  }
}

TEST(Digest, SecondInputIsHashedAsIfAppendedToTheFirst) {
  kel::Store store;
  const std::string salt = unhex("0011223344556677");
  std::string error;
  int result = -1;
  const std::string out = digest_into_marked_buffer(store, 64, "abc", salt, result, error);
  ASSERT_EQ(result, 0);
  EXPECT_EQ(out.substr(0, 64), ref::sha3(512, "abc" + salt));
  EXPECT_NE(out.substr(0, 64), ref::sha3(512, "abc"));
}

TEST(Digest, EmptyFirstInputWritesNothingAndSucceeds) {
  kel::Store store;
  for (int size : {28, 32, 48, 64}) {
    std::string error = "untouched";
    int result = -1;
    // Even a non-empty second input is ignored when the first is empty.
    const std::string out = digest_into_marked_buffer(store, size, "", "salt1234", result, error);
    EXPECT_EQ(result, 0) << size;
    EXPECT_EQ(out, std::string(80, '\x5a')) << size;
    EXPECT_EQ(error, "untouched") << size;
  }
}

TEST(Digest, UnsupportedSizeIsRejected) {
  kel::Store store;
  for (int size : {20, 0, -64, 63, 65, 128}) {
    for (const std::string first : {"abc", ""}) {
      std::string error = "previous";
      int result = 0;
      digest_into_marked_buffer(store, size, first, "", result, error);
      EXPECT_EQ(result, -1) << size;
      EXPECT_EQ(error, "Invalid hash_size") << size;
    }
  }
}

TEST(Digest, StoreHashIsSha3_512OfPasswordThenSalt) {
  kel::Store store;
  const std::string password = kel::test::kPassword;
  const std::string salt = unhex("a1b2c3d4e5f60718");
  std::array<unsigned char, 64> out{};
  std::string error = "untouched";
  ASSERT_EQ(store.store_hash(bytes_of(password), password.size(), bytes_of(salt), out.data(),
                             error),
            0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), 64), ref::sha3(512, password + salt));
  EXPECT_EQ(error, "untouched");
  // Known answer computed once with an independent SHA-3 (fixed salt 00..07).
  const std::string salt2 = unhex("0001020304050607");
  ASSERT_EQ(store.store_hash(bytes_of(password), password.size(), bytes_of(salt2), out.data(),
                             error),
            0);
  EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(out.data()), 64)),
            "c5035c91bd48b61e7dfc2e2f14bb2992591f2dcbe65d59755ac5c96cb9ed2504"
            "56a17277c283dd082ee6d09db95caf274e9df636cf59bf0d0e7f464c6824771b");
}

TEST(Digest, StoreHashKeepsZeroBytesOfThePassword) {
  kel::Store store;
  const std::string password("ab\0cd", 5);
  const std::string salt = unhex("0102030405060708");
  std::array<unsigned char, 64> out{};
  std::string error;
  ASSERT_EQ(store.store_hash(bytes_of(password), password.size(), bytes_of(salt), out.data(),
                             error),
            0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data()), 64), ref::sha3(512, password + salt));
}

TEST(Digest, StoreHashOfEmptyPasswordLeavesTheBufferZero) {
  kel::Store store;
  const std::string salt = unhex("0102030405060708");
  std::array<unsigned char, 64> out{};
  std::string error = "untouched";
  EXPECT_EQ(store.store_hash(bytes_of(salt), 0, bytes_of(salt), out.data(), error), 0);
  EXPECT_EQ(out, (std::array<unsigned char, 64>{}));
  EXPECT_EQ(error, "untouched");
}

TEST(Digest, VerifyHashComparesLengthAndEveryByte) {
  kel::Store store;
  const std::string a = ref::sha3(512, "first");
  std::string b = a;
  EXPECT_TRUE(store.verify_hash(bytes_of(a), 64, bytes_of(b), 64));
  b[63] = static_cast<char>(b[63] ^ 0x01);
  EXPECT_FALSE(store.verify_hash(bytes_of(a), 64, bytes_of(b), 64));
  b = a;
  b[0] = static_cast<char>(b[0] ^ 0x80);
  EXPECT_FALSE(store.verify_hash(bytes_of(a), 64, bytes_of(b), 64));
  b = a;
  b[31] = static_cast<char>(b[31] ^ 0x10);
  EXPECT_FALSE(store.verify_hash(bytes_of(a), 64, bytes_of(b), 64));
  // Different lengths are unequal even where the common prefix matches.
  EXPECT_FALSE(store.verify_hash(bytes_of(a), 64, bytes_of(a), 63));
  EXPECT_FALSE(store.verify_hash(bytes_of(a), 63, bytes_of(a), 64));
  // Two empty strings are equal whatever the pointers.
  EXPECT_TRUE(store.verify_hash(nullptr, 0, nullptr, 0));
  EXPECT_TRUE(store.verify_hash(bytes_of(a), 0, nullptr, 0));
}

TEST(Digest, VerifyHashWithDifferentLengthsReadsNoByte) {
  kel::Store store;
  // Null pointers would crash (or trip the sanitizer) if any byte were read.
  EXPECT_FALSE(store.verify_hash(nullptr, 64, nullptr, 63));
}

}  // namespace
