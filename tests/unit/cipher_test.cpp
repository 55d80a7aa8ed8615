// ChaCha20, ChaCha20-Poly1305 and random bytes, checked against the RFC 8439
// vectors and against libcrypto used directly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/key_agreement.h"
#include "kel/store.h"
#include "support/reference_store.h"
#include "support/test_support.h"
#include "support/unit_util.h"

namespace {

using kel::test::bytes_of;
using kel::test::hex;
using kel::test::DiagnosticCapture;
using kel::test::unhex;
namespace ref = kel::test::ref;

const std::string kSunscreen =
    "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
    "future, sunscreen would be it.";

std::string key_0_to_31() {
  std::string k;
  for (int i = 0; i < 32; ++i) k += static_cast<char>(i);
  return k;
}

std::string key_80_to_9f() {
  std::string k;
  for (int i = 0x80; i < 0xa0; ++i) k += static_cast<char>(i);
  return k;
}

// RFC 8439 2.4.2: key 00..1f, counter 1, nonce 000000000000004a00000000.
const std::string kRfcChachaIv = unhex("01000000" "000000000000004a00000000");
const std::string kRfcChachaCipher =
    "6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0b"
    "f91b65c5524733ab8f593dabcd62b3571639d624e65152ab8f530c359f0861d8"
    "07ca0dbf500d6a6156a38e088a22b65e52bc514d16ccf806818ce91ab7793736"
    "5af90bbf74a35be6b40b8eedf2785e42874d";

// RFC 8439 2.8.2: key 80..9f, nonce 07000000 4041424344454647. The RFC's
// tag covers additional data the library never passes; the tag without it
// was computed once with an independent ChaCha20/Poly1305 (which reproduces
// the RFC's tag when given the RFC's additional data).
const std::string kRfcAeadNonce = unhex("070000004041424344454647");
const std::string kRfcAeadCipher =
    "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d6"
    "3dbea45e8ca9671282fafb69da92728b1a71de0a9e060b2905d6a5b67ecd3b36"
    "92ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc"
    "3ff4def08e4b7a9de576d26586cec64b6116";
const std::string kAeadTagWithoutAad = "6a23a4681fd59456aea1d29f82477216";

TEST(Chacha20, EncryptsTheRfc8439Vector) {
  kel::Store store;
  const std::string key = key_0_to_31();
  std::string out(kSunscreen.size(), '\0');
  EXPECT_EQ(store.chacha20_encrypt(bytes_of(kSunscreen), kSunscreen.size(), bytes_of(key),
                                   bytes_of(kRfcChachaIv), bytes_of(out)),
            1);
  EXPECT_EQ(hex(out), kRfcChachaCipher);
  EXPECT_EQ(ref::chacha20(key, kRfcChachaIv, kSunscreen), out);
}

TEST(Chacha20, DecryptsTheRfc8439Vector) {
  kel::Store store;
  const std::string key = key_0_to_31();
  const std::string cipher = unhex(kRfcChachaCipher);
  std::string out(cipher.size(), '\0');
  EXPECT_EQ(store.chacha20_decrypt(bytes_of(cipher), cipher.size(), bytes_of(key),
                                   bytes_of(kRfcChachaIv), bytes_of(out)),
            1);
  EXPECT_EQ(out, kSunscreen);
}

TEST(Chacha20, RoundTripsOddLengthsWithARandomIv) {
  kel::Store store;
  const std::string key = ref::random_bytes(32);
  const std::string iv = ref::random_bytes(16);
  for (std::size_t len : {1u, 31u, 32u, 63u, 64u, 65u, 1000u}) {
    const std::string plain = ref::random_bytes(len);
    std::string cipher(len + 4, '\x77');
    ASSERT_EQ(store.chacha20_encrypt(bytes_of(plain), len, bytes_of(key), bytes_of(iv),
                                     bytes_of(cipher)),
              1);
    // The cipher is exactly as long as the input.
    EXPECT_EQ(cipher.substr(len), "\x77\x77\x77\x77") << len;
    cipher.resize(len);
    EXPECT_EQ(cipher, ref::chacha20(key, iv, plain)) << len;
    std::string back(len, '\0');
    ASSERT_EQ(store.chacha20_decrypt(bytes_of(cipher), len, bytes_of(key), bytes_of(iv),
                                     bytes_of(back)),
              1);
    EXPECT_EQ(back, plain) << len;
  }
}

TEST(ChachaPoly, EncryptsTheRfc8439VectorWithoutAdditionalData) {
  kel::Store store;
  const std::string key = key_80_to_9f();
  std::string out(kSunscreen.size(), '\0');
  std::string tag(16, '\0');
  DiagnosticCapture capture;
  EXPECT_EQ(store.encrypt_chacha20_poly1305(bytes_of(kSunscreen), kSunscreen.size(),
                                            bytes_of(key), bytes_of(kRfcAeadNonce),
                                            bytes_of(out), bytes_of(tag)),
            1);
  EXPECT_EQ(capture.take(), "");
  EXPECT_EQ(hex(out), kRfcAeadCipher);
  EXPECT_EQ(hex(tag), kAeadTagWithoutAad);
  // libcrypto used directly agrees on both.
  const ref::Sealed direct = ref::aead_seal(key, kRfcAeadNonce, kSunscreen);
  EXPECT_EQ(direct.cipher, out);
  EXPECT_EQ(direct.tag, tag);
}

TEST(ChachaPoly, DecryptsTheRfc8439Vector) {
  kel::Store store;
  const std::string key = key_80_to_9f();
  const std::string cipher = unhex(kRfcAeadCipher);
  const std::string tag = unhex(kAeadTagWithoutAad);
  std::string out(cipher.size(), '\0');
  DiagnosticCapture capture;
  EXPECT_EQ(store.decrypt_chacha20_poly1305(bytes_of(cipher), cipher.size(), bytes_of(key),
                                            bytes_of(kRfcAeadNonce), bytes_of(out),
                                            bytes_of(tag)),
            1);
  EXPECT_EQ(capture.take(), "");
  EXPECT_EQ(out, kSunscreen);
}

TEST(ChachaPoly, TheRfcTagWithAdditionalDataDoesNotVerify) {
  // Proves that no additional data takes part: the RFC's own tag (made with
  // AAD 50515253c0c1c2c3c4c5c6c7) must be refused.
  kel::Store store;
  const std::string key = key_80_to_9f();
  const std::string cipher = unhex(kRfcAeadCipher);
  const std::string rfc_tag = unhex("1ae10b594f09e26a7e902ecbd0600691");
  std::string out(cipher.size(), '\0');
  DiagnosticCapture capture;
  EXPECT_EQ(store.decrypt_chacha20_poly1305(bytes_of(cipher), cipher.size(), bytes_of(key),
                                            bytes_of(kRfcAeadNonce), bytes_of(out),
                                            bytes_of(rfc_tag)),
            -1);
  EXPECT_EQ(capture.take(), "Cipher finalize error\n");
}

TEST(ChachaPoly, OneFlippedBitAnywhereFailsAuthentication) {
  kel::Store store;
  const std::string key = ref::random_bytes(32);
  const std::string nonce = ref::random_bytes(12);
  const std::string plain = "a secret value of some length";
  const ref::Sealed sealed = ref::aead_seal(key, nonce, plain);

  struct Case {
    const char* what;
    std::string key, nonce, cipher, tag;
  };
  std::vector<Case> cases;
  for (std::size_t bit : {0u, 7u, 100u, 255u}) {
    Case c{"key", key, nonce, sealed.cipher, sealed.tag};
    c.key[bit / 8] = static_cast<char>(c.key[bit / 8] ^ (1 << (bit % 8)));
    cases.push_back(c);
  }
  for (std::size_t bit : {0u, 50u, 95u}) {
    Case c{"nonce", key, nonce, sealed.cipher, sealed.tag};
    c.nonce[bit / 8] = static_cast<char>(c.nonce[bit / 8] ^ (1 << (bit % 8)));
    cases.push_back(c);
  }
  for (std::size_t bit : {0u, 64u, 127u}) {
    Case c{"tag", key, nonce, sealed.cipher, sealed.tag};
    c.tag[bit / 8] = static_cast<char>(c.tag[bit / 8] ^ (1 << (bit % 8)));
    cases.push_back(c);
  }
  for (std::size_t bit : {std::size_t{0}, std::size_t{77}, plain.size() * 8 - 1}) {
    Case c{"cipher", key, nonce, sealed.cipher, sealed.tag};
    c.cipher[bit / 8] = static_cast<char>(c.cipher[bit / 8] ^ (1 << (bit % 8)));
    cases.push_back(c);
  }
  for (auto& c : cases) {
    std::string out(plain.size(), '\0');
    DiagnosticCapture capture;
    EXPECT_EQ(store.decrypt_chacha20_poly1305(bytes_of(c.cipher), c.cipher.size(),
                                              bytes_of(c.key), bytes_of(c.nonce), bytes_of(out),
                                              bytes_of(c.tag)),
              -1)
        << c.what;
    EXPECT_EQ(capture.take(), "Cipher finalize error\n") << c.what;
  }
  // And the untouched inputs still open, so the failures above are the flips.
  std::string out(plain.size(), '\0');
  EXPECT_EQ(store.decrypt_chacha20_poly1305(bytes_of(sealed.cipher), plain.size(),
                                            bytes_of(key), bytes_of(nonce), bytes_of(out),
                                            bytes_of(sealed.tag)),
            1);
  EXPECT_EQ(out, plain);
}

TEST(ChachaPoly, SealsWhatLibcryptoOpensAtManyLengths) {
  kel::Store store;
  const std::string key = ref::random_bytes(32);
  for (std::size_t len : {1u, 15u, 16u, 17u, 255u, 4096u, 100000u}) {
    const std::string nonce = ref::random_bytes(12);
    const std::string plain = ref::random_bytes(len);
    std::string cipher(len, '\0');
    std::string tag(16, '\0');
    ASSERT_EQ(store.encrypt_chacha20_poly1305(bytes_of(plain), len, bytes_of(key),
                                              bytes_of(nonce), bytes_of(cipher), bytes_of(tag)),
              1);
    // A random key stream leaves one byte as it was once in 256 runs; from
    // 15 bytes on, a cipher text equal to its plain text is no chance.
    if (len >= 15) {
      EXPECT_NE(cipher, plain) << len;
    }
    const auto opened = ref::aead_open(key, nonce, cipher, tag);
    ASSERT_TRUE(opened.has_value()) << len;
    EXPECT_EQ(*opened, plain) << len;
  }
}

TEST(ChachaPoly, TagOutputIsExactlySixteenBytes) {
  kel::Store store;
  const std::string key = ref::random_bytes(32);
  const std::string nonce = ref::random_bytes(12);
  const std::string plain = "x";
  std::string cipher(1, '\0');
  std::string tag(24, '\x33');
  ASSERT_EQ(store.encrypt_chacha20_poly1305(bytes_of(plain), 1, bytes_of(key), bytes_of(nonce),
                                            bytes_of(cipher), bytes_of(tag)),
            1);
  EXPECT_EQ(tag.substr(16), std::string(8, '\x33'));
  EXPECT_EQ(tag.substr(0, 16), ref::aead_seal(key, nonce, plain).tag);
}

TEST(Random, FillsExactlyTheRequestedBytes) {
  kel::Store store;
  for (int count : {1, 8, 12, 16, 32, 1000}) {
    // Two draws into buffers with a guard zone behind the requested bytes.
    std::string a(static_cast<std::size_t>(count) + 16, '\xaa');
    std::string b(static_cast<std::size_t>(count) + 16, '\xaa');
    std::string error = "untouched";
    ASSERT_EQ(store.gen_random(bytes_of(a), count, error), 0);
    ASSERT_EQ(store.gen_random(bytes_of(b), count, error), 0);
    EXPECT_EQ(error, "untouched");
    EXPECT_EQ(a.substr(count), std::string(16, '\xaa')) << count;
    EXPECT_EQ(b.substr(count), std::string(16, '\xaa')) << count;
    if (count >= 8) {
      // 64 or more random bits: equal draws or an untouched buffer would be
      // a fault, not bad luck.
      EXPECT_NE(a.substr(0, count), b.substr(0, count)) << count;
      EXPECT_NE(a.substr(0, count), std::string(count, '\xaa')) << count;
    }
  }
}

// The key slot's primitives against their RFC vectors: X25519 (RFC 7748
// 6.1), HKDF-SHA256 (RFC 5869 A.1) and HMAC-SHA256 (RFC 4231 case 2); and
// an all-zero shared secret (a public key of small order) refused.
TEST(KeyAgreement, MatchesTheRfcVectors) {
  namespace crypto = kel::crypto;
  const auto raw = [](const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
  };
  const std::string alice = unhex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
  const std::string bob_public =
      unhex("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
  unsigned char out[42] = {};
  ASSERT_TRUE(crypto::x25519_public(raw(alice), out));
  EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(out), 32)),
            "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
  ASSERT_TRUE(crypto::x25519_shared(raw(alice), raw(bob_public), out));
  EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(out), 32)),
            "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742");
  const std::string small_order(32, '\0');
  EXPECT_FALSE(crypto::x25519_shared(raw(alice), raw(small_order), out));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 32), std::string(32, '\0'));

  ASSERT_TRUE(crypto::hkdf_sha256(std::string(22, '\x0b'), unhex("000102030405060708090a0b0c"),
                                  unhex("f0f1f2f3f4f5f6f7f8f9"), out, 42));
  EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(out), 42)),
            "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
  ASSERT_TRUE(crypto::hmac_sha256("Jefe", "what do ya want for nothing?", out));
  EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(out), 32)),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

}  // namespace
