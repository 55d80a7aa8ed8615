// Wrapping the store key under the password, and masking it in memory.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypto/argon2id.h"
#include "engine/engine.h"
#include "kel/store.h"
#include "support/reference_store.h"
#include "support/test_support.h"
#include "support/unit_util.h"

namespace {

using kel::test::as_string;
using kel::test::bytes_of;
using kel::test::hex;
using kel::test::kPassword;
using kel::test::DiagnosticCapture;
using kel::test::unhex;
namespace ref = kel::test::ref;

std::string range_bytes(int from, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += static_cast<char>(from + i);
  return s;
}

// A random store key wrapped by the library under `password`, with the salt
// and nonce it was wrapped with.
struct Wrapped {
  std::string key = ref::random_bytes(32);
  std::string salt = ref::random_bytes(8);
  std::string nonce = ref::random_bytes(12);
  std::string cipher = std::string(32, '\0');
  std::string tag = std::string(16, '\0');
};

Wrapped wrap_with_library(kel::Store& store, const std::string& password) {
  Wrapped w;
  std::string error;
  EXPECT_EQ(store.encrypt_store_key(bytes_of(w.key), password, bytes_of(w.salt),
                                    bytes_of(w.nonce), bytes_of(w.cipher), bytes_of(w.tag),
                                    error),
            0)
      << error;
  return w;
}

TEST(Pbkdf2, ReferenceDerivationMatchesRfc7914) {
  // The independent derivation the other tests use, checked against the
  // published PBKDF2-HMAC-SHA256 vectors.
  EXPECT_EQ(hex(ref::pbkdf2_sha256("passwd", "salt", 1, 64)),
            "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
            "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
  EXPECT_EQ(hex(ref::pbkdf2_sha256("Password", "NaCl", 80000, 64)),
            "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
            "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d");
}

TEST(KeyWrapping, KnownAnswerForFixedInputs) {
  // Computed once with an independent PBKDF2 + ChaCha20-Poly1305.
  kel::Store store;
  const std::string key = range_bytes(0x20, 32);
  const std::string salt = range_bytes(0, 8);
  const std::string nonce = range_bytes(0xa0, 12);
  std::string cipher(32, '\0');
  std::string tag(16, '\0');
  std::string error = "untouched";
  ASSERT_EQ(store.encrypt_store_key(bytes_of(key), kPassword, bytes_of(salt), bytes_of(nonce),
                                    bytes_of(cipher), bytes_of(tag), error),
            0);
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(hex(ref::pbkdf2_sha256(kPassword, salt, 1000, 32)),
            "e4170ed2ca85a3213b49fe3f07a2a93cc551da02373343087942a498c69d3567");
  EXPECT_EQ(hex(cipher), "30621c108a6b72759ff5ea3059a0b2540ae2654bd8f7151a37f0aad3d1e20140");
  EXPECT_EQ(hex(tag), "6fa825d57df701172447bb7f002504b1");
}

TEST(KeyWrapping, WrappingKeyIsPbkdf2OfThePasswordWithTheSalt) {
  kel::Store store;
  const Wrapped w = wrap_with_library(store, kPassword);
  EXPECT_NE(w.cipher, w.key);
  const std::string wrap = ref::pbkdf2_sha256(kPassword, w.salt, 1000, 32);
  const auto opened = ref::aead_open(wrap, w.nonce, w.cipher, w.tag);
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(*opened, w.key);
}

TEST(KeyWrapping, UnwrapsWhatLibcryptoWrapped) {
  kel::Store store;
  const std::string key = ref::random_bytes(32);
  const std::string salt = ref::random_bytes(8);
  const std::string nonce = ref::random_bytes(12);
  const ref::Sealed sealed =
      ref::aead_seal(ref::pbkdf2_sha256(kPassword, salt, 1000, 32), nonce, key);
  std::string out(32, '\0');
  std::string error = "untouched";
  ASSERT_EQ(store.decrypt_store_key(bytes_of(sealed.cipher), kPassword, bytes_of(salt),
                                    bytes_of(nonce), bytes_of(out), bytes_of(sealed.tag), error),
            0);
  EXPECT_EQ(out, key);
  EXPECT_EQ(error, "untouched");
}

TEST(KeyWrapping, PasswordBytesAreUsedAsGivenIncludingZeroBytes) {
  kel::Store store;
  const std::string password("Pass\0word-1234!", 15);
  const Wrapped w = wrap_with_library(store, password);
  const auto opened =
      ref::aead_open(ref::pbkdf2_sha256(password, w.salt, 1000, 32), w.nonce, w.cipher, w.tag);
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(*opened, w.key);
}

TEST(KeyWrapping, WrongPasswordSaltNonceOrTagFailsToUnwrap) {
  kel::Store store;
  const Wrapped w = wrap_with_library(store, kPassword);

  std::string wrong_password = kPassword;
  wrong_password.back() = static_cast<char>(wrong_password.back() + 1);
  std::string wrong_salt = w.salt;
  wrong_salt[3] = static_cast<char>(wrong_salt[3] ^ 0x04);
  std::string wrong_nonce = w.nonce;
  wrong_nonce[11] = static_cast<char>(wrong_nonce[11] ^ 0x40);
  std::string wrong_tag = w.tag;
  wrong_tag[0] = static_cast<char>(wrong_tag[0] ^ 0x01);
  std::string wrong_cipher = w.cipher;
  wrong_cipher[20] = static_cast<char>(wrong_cipher[20] ^ 0x02);

  const struct {
    const char* what;
    const std::string& password;
    const std::string& salt;
    const std::string& nonce;
    const std::string& cipher;
    const std::string& tag;
  } cases[] = {
      {"password", wrong_password, w.salt, w.nonce, w.cipher, w.tag},
      {"salt", kPassword, wrong_salt, w.nonce, w.cipher, w.tag},
      {"nonce", kPassword, w.salt, wrong_nonce, w.cipher, w.tag},
      {"tag", kPassword, w.salt, w.nonce, w.cipher, wrong_tag},
      {"cipher", kPassword, w.salt, w.nonce, wrong_cipher, w.tag},
  };
  for (const auto& c : cases) {
    std::string out(32, '\0');
    std::string err = "previous";
    DiagnosticCapture capture;
    EXPECT_EQ(store.decrypt_store_key(bytes_of(c.cipher), c.password, bytes_of(c.salt),
                                      bytes_of(c.nonce), bytes_of(out), bytes_of(c.tag), err),
              -1)
        << c.what;
    EXPECT_EQ(err, "Decrypt store key failed") << c.what;
    EXPECT_EQ(capture.take(), "Cipher finalize error\n") << c.what;
  }
}

TEST(KeyMasking, FreshStoreHasNoKeyToHandOut) {
  kel::Store store;
  EXPECT_FALSE(store.engine->keys.store_key_masked);
  unsigned char out[32];
  std::memset(out, 0x5c, sizeof out);
  DiagnosticCapture capture;
  EXPECT_EQ(store.get_store_key(out), -1);
  EXPECT_EQ(capture.take(), "Could not get store password: -1\n");
}

TEST(KeyMasking, MaskedKeyIsChacha20UnderTheMaskingMembers) {
  kel::Store store;
  const std::string key = ref::random_bytes(32);
  store.set_store_key(bytes_of(key));
  EXPECT_TRUE(store.engine->keys.store_key_masked);
  const std::string mask_key = as_string(store.memory_key, 32);
  const std::string mask_iv = as_string(store.memory_iv, 16);
  const std::string masked = as_string(store.masked_store_key, 32);
  EXPECT_NE(masked, key);
  EXPECT_EQ(masked, ref::chacha20(mask_key, mask_iv, key));
  // The plain key is not held in any of the members.
  EXPECT_NE(mask_key, key);
  EXPECT_NE(as_string(store.store_key_cipher, 32), key);
}

TEST(KeyMasking, EachMaskingDrawsFreshMaterialForTheSameKey) {
  kel::Store store;
  const std::string key = ref::random_bytes(32);
  store.set_store_key(bytes_of(key));
  const std::string key1 = as_string(store.memory_key, 32);
  const std::string iv1 = as_string(store.memory_iv, 16);
  const std::string masked1 = as_string(store.masked_store_key, 32);
  unsigned char out[32] = {};
  ASSERT_EQ(store.get_store_key(out), 0);
  EXPECT_EQ(as_string(out, 32), key);

  store.set_store_key(bytes_of(key));
  EXPECT_NE(as_string(store.memory_key, 32), key1);
  EXPECT_NE(as_string(store.memory_iv, 16), iv1);
  EXPECT_NE(as_string(store.masked_store_key, 32), masked1);
  std::memset(out, 0, sizeof out);
  ASSERT_EQ(store.get_store_key(out), 0);
  EXPECT_EQ(as_string(out, 32), key);
}

TEST(KeyMasking, ANewKeyReplacesTheOldOne) {
  kel::Store store;
  const std::string first = ref::random_bytes(32);
  const std::string second = ref::random_bytes(32);
  store.set_store_key(bytes_of(first));
  store.set_store_key(bytes_of(second));
  unsigned char out[32] = {};
  ASSERT_EQ(store.get_store_key(out), 0);
  EXPECT_EQ(as_string(out, 32), second);
}

}  // namespace

namespace {

// RFC 9106, section 5.3: Argon2id, version 0x13, with every input of the
// function set (secret and associated data included), through the library's
// derivation; the same derivation without those two agrees with libargon2
// called directly, as the tests' reader does.
TEST(Argon2id, Rfc9106TestVector) {
  const std::string password(32, '\x01'), salt(16, '\x02'), secret(8, '\x03'),
      ad(12, '\x04');
  unsigned char out[32] = {};
  std::string error;
  ASSERT_EQ(kel::detail::derive_argon2id(bytes_of(password), password.size(), bytes_of(salt),
                                  salt.size(), 32, 3, 4, out, sizeof out, error,
                                  bytes_of(secret), secret.size(), bytes_of(ad), ad.size()),
            0)
      << error;
  EXPECT_EQ(hex(as_string(out, sizeof out)),
            "0d640df58d78766c08c037a34a8b53c9d01ef0452d75b65eb52520e96b01e659");
  // The four lanes computed on two and on four threads (more than there
  // are lanes is capped) give the same key.
  for (const unsigned threads : {2u, 4u, 9u}) {
    std::memset(out, 0, sizeof out);
    ASSERT_EQ(kel::detail::derive_argon2id(bytes_of(password), password.size(),
                                    bytes_of(salt), salt.size(), 32, 3, 4, out, sizeof out,
                                    error, bytes_of(secret), secret.size(), bytes_of(ad),
                                    ad.size(), threads),
              0)
        << error;
    EXPECT_EQ(hex(as_string(out, sizeof out)),
              "0d640df58d78766c08c037a34a8b53c9d01ef0452d75b65eb52520e96b01e659")
        << threads;
  }

  ASSERT_EQ(kel::detail::derive_argon2id(bytes_of(kPassword), kPassword.size(), bytes_of(salt),
                                  salt.size(), 64, 2, 2, out, sizeof out, error),
            0)
      << error;
  EXPECT_EQ(as_string(out, sizeof out), ref::argon2id(kPassword, salt, 64, 2, 2, 32));
}

TEST(Argon2id, ImpossibleParametersFailWithoutOutput) {
  const std::string salt(16, '\x02');
  unsigned char out[32];
  std::memset(out, 0x5a, sizeof out);
  std::string error;
  // Less memory than eight blocks per lane cannot be laid out.
  EXPECT_EQ(kel::detail::derive_argon2id(bytes_of(kPassword), kPassword.size(), bytes_of(salt),
                                  salt.size(), 4, 1, 1, out, sizeof out, error),
            -1);
  EXPECT_EQ(error.rfind("Could not derive key: ", 0), 0u) << error;
  EXPECT_EQ(error.find(kPassword), std::string::npos);
  EXPECT_EQ(as_string(out, sizeof out), std::string(32, '\0'));
}

}  // namespace
