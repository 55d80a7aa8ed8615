// Creating a store: the header bytes are checked with the test's own offsets
// and libcrypto used directly, never with the library's format code.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "engine/engine.h"
#include "engine/keyring/header_v2.h"
#include "kel/safe.h"
#include "kel/store.h"
#include "engine/keyring/header_v3.h"
#include "crypto/key_agreement.h"
#include "slots/identity_text.h"
#include "support/reference_store.h"
#include "support/test_support.h"
#include "support/unit_util.h"

namespace {

using kel::test::as_string;
using kel::test::errno_text;
using kel::test::kPassword;
using kel::test::read_file;
using kel::test::TempDir;
namespace ref = kel::test::ref;
namespace fs = std::filesystem;

// Sets the umask for the lifetime of the object.
class Umask {
 public:
  explicit Umask(mode_t mask) : old_(umask(mask)) {}
  ~Umask() { umask(old_); }

 private:
  mode_t old_;
};

TEST(CreateStore, HeaderIsHashSaltAndWrappedKey) {
  TempDir dir;
  kel::Store store(dir.file("vault"), kPassword);
  std::string text = "previous";
  ASSERT_EQ(store.create_store(text), 0) << text;
  EXPECT_EQ(text, dir.file("vault.safe"));
  EXPECT_FALSE(store.store_opened);

  const std::string file = read_file(dir.file("vault.safe"));
  ASSERT_EQ(file.size(), 132u);
  const std::string salt = file.substr(64, 8);
  EXPECT_EQ(file.substr(0, 64), ref::sha3(512, kPassword + salt));

  const std::string wrap = ref::pbkdf2_sha256(kPassword, salt, 1000, 32);
  const auto key =
      ref::aead_open(wrap, file.substr(104, 12), file.substr(72, 32), file.substr(116, 16));
  ASSERT_TRUE(key.has_value()) << "the wrapped store key does not open";
  EXPECT_NE(*key, std::string(32, '\0'));
  // The Store keeps the new key masked, and the cipher member matches the file.
  unsigned char held[32] = {};
  ASSERT_EQ(store.get_store_key(held), 0);
  EXPECT_EQ(as_string(held, 32), *key);
  EXPECT_EQ(as_string(store.store_key_cipher, 32), file.substr(72, 32));
  // The plain key appears nowhere in the file.
  EXPECT_EQ(file.find(*key), std::string::npos);
}

TEST(CreateStore, EveryStoreGetsItsOwnSaltNonceAndKey) {
  TempDir dir;
  kel::Store a(dir.file("a"), kPassword);
  kel::Store b(dir.file("b"), kPassword);
  std::string text;
  ASSERT_EQ(a.create_store(text), 0) << text;
  ASSERT_EQ(b.create_store(text), 0) << text;
  const std::string fa = read_file(dir.file("a.safe"));
  const std::string fb = read_file(dir.file("b.safe"));
  ASSERT_EQ(fa.size(), 132u);
  ASSERT_EQ(fb.size(), 132u);
  EXPECT_NE(fa.substr(64, 8), fb.substr(64, 8));     // salt
  EXPECT_NE(fa.substr(104, 12), fb.substr(104, 12));  // nonce
  EXPECT_NE(fa.substr(0, 64), fb.substr(0, 64));      // hash (salted)
  const auto ka = ref::unwrap_store_key(fa, kPassword);
  const auto kb = ref::unwrap_store_key(fb, kPassword);
  ASSERT_TRUE(ka.has_value());
  ASSERT_TRUE(kb.has_value());
  EXPECT_NE(*ka, *kb);
}

TEST(CreateStore, ExistingFileIsLeftByteForByte) {
  TempDir dir;
  const std::string path = dir.file("taken.safe");
  const std::string original = std::string("not a store\0\x01\x02", 14) + std::string(300, 'q');
  kel::test::write_file(path, original);
  kel::Store store(path, kPassword);
  std::string text;
  EXPECT_EQ(store.create_store(text), -1);
  EXPECT_EQ(text, "could not create store - " + errno_text(EEXIST));
  EXPECT_EQ(read_file(path), original);
  EXPECT_EQ(store.store_fd, -1);

  // Also when the existing file is an earlier store of the same path.
  const std::string path2 = dir.file("twice");
  kel::Store first(path2, kPassword);
  ASSERT_EQ(first.create_store(text), 0) << text;
  const std::string before = read_file(path2 + ".safe");
  kel::Store second(path2, kPassword);
  EXPECT_EQ(second.create_store(text), -1);
  EXPECT_EQ(text, "could not create store - " + errno_text(EEXIST));
  EXPECT_EQ(read_file(path2 + ".safe"), before);
}

TEST(CreateStore, RejectedPasswordCreatesNoFile) {
  TempDir dir;
  const struct {
    const char* password;
    const char* message;
  } cases[] = {
      {"short", "Minimum password length is: 14 characters"},
      {"abcdefghijklmnop", "Invalid password, digit required"},
      {"Abcdefgh1234 !x", "Invalid password, no whitespace allow"},
      {"", "Minimum password length is: 14 characters"},
  };
  for (const auto& c : cases) {
    kel::Store store(dir.file("rejected"), c.password);
    std::string text;
    EXPECT_EQ(store.create_store(text), -1) << c.password;
    EXPECT_EQ(text, c.message);
    EXPECT_FALSE(fs::exists(dir.file("rejected.safe")));
  }
}

TEST(CreateStore, EmptyNameIsRefused) {
  kel::Store store;
  std::string text;
  EXPECT_EQ(store.create_store(text), -1);
  EXPECT_EQ(text, "Invalid store name");
  kel::Safe safe;
  text.clear();
  EXPECT_EQ(safe.create_safe(text), -1);
  EXPECT_EQ(text, "Invalid store name");
}

TEST(CreateStore, MissingDirectoryGivesTheSystemText) {
  TempDir dir;
  kel::Store store(dir.file("no/such/dir/vault"), kPassword);
  std::string text;
  EXPECT_EQ(store.create_store(text), -1);
  EXPECT_EQ(text, "could not create store - " + errno_text(ENOENT));
}

TEST(CreateStore, ModeIs0660LessTheUmask) {
  TempDir dir;
  std::string text;
  {
    Umask mask(022);
    kel::Store store(dir.file("m022"), kPassword);
    ASSERT_EQ(store.create_store(text), 0) << text;
  }
  {
    Umask mask(0);
    kel::Store store(dir.file("m000"), kPassword);
    ASSERT_EQ(store.create_store(text), 0) << text;
  }
  {
    Umask mask(077);
    kel::Store store(dir.file("m077"), kPassword);
    ASSERT_EQ(store.create_store(text), 0) << text;
  }
  struct stat st {};
  ASSERT_EQ(stat(dir.file("m022.safe").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  ASSERT_EQ(stat(dir.file("m000.safe").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  ASSERT_EQ(stat(dir.file("m077.safe").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(CreateStore, NewStoreOpensWithTheSameObjectAndNoDescriptorIsLeft) {
  TempDir dir;
  const int before = kel::test::open_descriptor_count();
  {
    kel::Store store(dir.file("fresh"), kPassword);
    std::string text;
    ASSERT_EQ(store.create_store(text), 0) << text;
    ASSERT_EQ(store.open_store(text), 0) << text;
    EXPECT_TRUE(store.store_opened);
    EXPECT_TRUE(store.index.empty());
    // Only the opened store's own descriptor remains.
    EXPECT_EQ(kel::test::open_descriptor_count(), before + 1);
  }
  EXPECT_EQ(kel::test::open_descriptor_count(), before);
}

TEST(CreateStore, SafeCreatesAndVerifies) {
  TempDir dir;
  kel::Safe safe(dir.file("facade"), kPassword);
  std::string error;
  ASSERT_EQ(safe.create_safe(error), 0) << error;
  EXPECT_EQ(error, dir.file("facade.safe"));
  error = "untouched";
  EXPECT_TRUE(safe.key_verified(error));
  EXPECT_EQ(error, "untouched");
  kel::Safe wrong(dir.file("facade"), kel::test::kOtherPassword);
  EXPECT_FALSE(wrong.key_verified(error));
  EXPECT_EQ(error, "Invalid password");
  kel::Safe again(dir.file("facade.safe"), kPassword);
  EXPECT_EQ(again.create_safe(error), -1);
  EXPECT_EQ(error, "could not create store - " + errno_text(EEXIST));
}

TEST(CreateStore, AFailedHeaderWriteRemovesTheNewFile) {
  TempDir dir;
  const std::string path = dir.file("toolarge");
  const std::string report = ref::run_in_child([&]() -> std::string {
    // Files may not grow past 100 bytes, so the 132-byte header cannot be
    // written; the signal that would end the process is ignored.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{100, 100};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return "setrlimit failed";
    kel::Store store(path, kPassword);
    std::string text;
    const int result = store.create_store(text);
    std::string problems;
    if (result != -1) problems += "create_store returned " + std::to_string(result) + "; ";
    if (text != "Could not write to store file") problems += "text was '" + text + "'; ";
    if (fs::exists(path + ".safe")) problems += "the file was left behind; ";
    if (store.store_fd != -1) problems += "store_fd stayed open; ";
    return problems;
  });
  EXPECT_EQ(report, "");
  EXPECT_FALSE(fs::exists(path + ".safe"));
}

}  // namespace

namespace {

// Format 3's header as laid out: magic, version 3, its own length, one
// password slot of 257 bytes (kind 1, no label, the parameters asked for),
// records starting right after it; the slot opens with the password alone,
// one flipped bit of its MAC or of its identifier-bound parts refuses it,
// and the first record sits at R = 0 after the header.
TEST(CreateStore, Version3HeaderLayout) {
  TempDir dir;
  kel::Safe safe(dir.file("v3"), kPassword);
  std::string error;
  kel::StoreOptions options = kel::test::cheapest_v2();
  options.format = 3;
  ASSERT_EQ(safe.create_safe(options, error), 0) << error;
  const std::string empty = read_file(dir.file("v3.safe"));
  ASSERT_EQ(empty.size(), 52u + 257);
  EXPECT_EQ(empty.substr(0, 8), ref::kV2Magic);
  EXPECT_EQ(ref::read_le32(empty, 8), 3u);
  EXPECT_EQ(ref::read_le32(empty, 12), 52u + 257);
  EXPECT_EQ(kel::test::hex(empty.substr(48, 4)), "01000000");  // one slot, reserved zero
  EXPECT_EQ(kel::test::hex(empty.substr(52, 4)), "01000101");  // kind 1, reserved, length 257
  EXPECT_EQ(empty[52 + 12], '\0');                  // no label
  EXPECT_EQ(ref::read_le32(empty, 52 + 13 + 124), 19u * 1024);
  EXPECT_EQ(ref::read_le32(empty, 52 + 13 + 128), 2u);
  EXPECT_EQ(ref::read_le32(empty, 52 + 13 + 132), options.kdf_lanes);
  std::vector<unsigned char> header(empty.begin(), empty.end());
  unsigned char key[32];
  ASSERT_EQ(kel::detail::open_v3_header(header, kPassword, 1, key, error), 0) << error;
  for (const std::size_t at : {std::size_t{16}, std::size_t{52 + 13 + 80}, empty.size() - 1}) {
    std::vector<unsigned char> flipped = header;
    flipped[at] ^= 0x01;
    EXPECT_NE(kel::detail::open_v3_header(flipped, kPassword, 1, key, error), 0) << at;
  }
  EXPECT_NE(kel::detail::open_v3_header(header, kel::test::kOtherPassword, 1, key, error), 0);
  EXPECT_EQ(error, "Invalid password");
  // A slot of a kind this reader does not know is skipped by its length,
  // but even it holds what every kind shares: shorter is damage, told.
  for (const std::size_t length : {std::size_t{20}, std::size_t{13 + 124 + 32}}) {
    std::vector<unsigned char> unknown(length, 0);
    unknown[0] = 9;
    unknown[2] = static_cast<unsigned char>(length);
    std::vector<unsigned char> two = header;
    two.insert(two.begin() + 52, unknown.begin(), unknown.end());
    two[48] = 2;
    const std::uint32_t total = static_cast<std::uint32_t>(two.size());
    for (int i = 0; i < 4; ++i) two[12 + i] = static_cast<unsigned char>(total >> (8 * i));
    std::vector<kel::detail::SlotFrame> slots;
    const int parsed = kel::detail::parse_v3_header(two, slots, error);
    if (length == 20) {
      EXPECT_NE(parsed, 0);
      EXPECT_EQ(error, "Store header damaged: key slot 0 has a wrong length");
    } else {
      EXPECT_EQ(parsed, 0) << error;
      EXPECT_EQ(slots.size(), 2u);
    }
  }
  ASSERT_EQ(safe.add_entry(kel::Entry("first", "one value"), error), 0) << error;
  const std::string file = read_file(dir.file("v3.safe"));
  EXPECT_EQ(file.substr(0, empty.size()), empty);
  EXPECT_EQ(file[empty.size()], '\5');
  EXPECT_EQ(ref::read_le32(file, empty.size() + 5 + 29), empty.size() + 5 + 41);  // value offset
  kel::FormatInfo info;
  ASSERT_EQ(safe.format_info(info, error), 0) << error;
  EXPECT_EQ(info.version, 3);
  EXPECT_EQ(info.kdf_passes, 2u);
}


// base64url without padding of `bytes`, through libcrypto's encoder.
std::string base64url(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  while (!out.empty() && out.back() == '=') out.pop_back();
  for (char& c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return out;
}

std::string sha256(const std::string& bytes) {
  unsigned char digest[32];
  EVP_Digest(bytes.data(), bytes.size(), digest, nullptr, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

// Identities' text forms, rebuilt here from their definition: a public key
// is "kelpk1" and base64url of the key and its 4-byte check; an identity
// file's one line is the secret key the same way. A character changed is
// refused, and so is a key of small order.
TEST(CreateStore, IdentityTextForms) {
  std::string identity, public_key, error;
  ASSERT_EQ(kel::generate_identity(identity, public_key, error), kel::Status::ok) << error;
  ASSERT_EQ(public_key.size(), 54u);
  ASSERT_EQ(public_key.substr(0, 6), "kelpk1");
  const std::size_t line = identity.find("KEL-SAFE-IDENTITY-1");
  ASSERT_NE(line, std::string::npos);
  EXPECT_EQ(identity.substr(0, 29), "# kel-safe identity, created ");
  EXPECT_NE(identity.find("\n# public key: " + public_key + "\n"), std::string::npos);
  const std::string encoded = identity.substr(line + 19, 48);
  EXPECT_EQ(identity.substr(line + 19 + 48), "\n");
  // The secret key, from the text, gives the public key of the text.
  std::string sk;
  for (std::size_t i = 0; i < 48; i += 4) {
    unsigned char three[3];
    std::string quad = encoded.substr(i, 4);
    for (char& c : quad) c = c == '-' ? '+' : c == '_' ? '/' : c;
    ASSERT_EQ(EVP_DecodeBlock(three, reinterpret_cast<const unsigned char*>(quad.data()), 4), 3);
    sk.append(reinterpret_cast<const char*>(three), 3);
  }
  ASSERT_EQ(sk.size(), 36u);
  EXPECT_EQ(sk.substr(32), sha256("kel-safe identity" + sk.substr(0, 32)).substr(0, 4));
  unsigned char pk[32];
  ASSERT_TRUE(kel::crypto::x25519_public(reinterpret_cast<const unsigned char*>(sk.data()), pk));
  const std::string pk_bytes(reinterpret_cast<const char*>(pk), 32);
  EXPECT_EQ(public_key,
            "kelpk1" + base64url(pk_bytes + sha256("kel-safe public key" + pk_bytes).substr(0, 4)));
  std::string again;
  ASSERT_EQ(kel::identity_public_key(identity, again, error), kel::Status::ok) << error;
  EXPECT_EQ(again, public_key);
  EXPECT_EQ(kel::check_public_key("  " + public_key + "\n", error), kel::Status::ok) << error;
  for (std::size_t at = 0; at < public_key.size(); ++at) {
    std::string typo = public_key;
    typo[at] = typo[at] == 'A' ? 'B' : 'A';
    EXPECT_EQ(kel::check_public_key(typo, error), kel::Status::invalid_argument) << at;
  }
  EXPECT_EQ(kel::check_public_key(public_key.substr(0, 53), error),
            kel::Status::invalid_argument);
  for (std::size_t at = line + 19; at < line + 19 + 48; at += 7) {
    std::string typo = identity;
    typo[at] = typo[at] == 'A' ? 'B' : 'A';
    EXPECT_EQ(kel::identity_public_key(typo, again, error), kel::Status::invalid_argument) << at;
  }
  // Comment lines and blank lines aside, one identity line and no other.
  EXPECT_EQ(kel::identity_public_key("\n# note\n\n" + identity.substr(line), again, error),
            kel::Status::ok);
  EXPECT_EQ(kel::identity_public_key(identity + identity.substr(line), again, error),
            kel::Status::invalid_argument);
  // All zeros, and a point of order 8, carry a valid check but are refused.
  std::string order8(32, '\0');
  const unsigned char point[32] = {0xe0, 0xeb, 0x7a, 0x7c, 0x3b, 0x41, 0xb8, 0xae, 0x16, 0x56, 0xe3,
                                   0xfa, 0xf1, 0x9f, 0xc4, 0x6a, 0xda, 0x09, 0x8d, 0xeb, 0x9c, 0x32,
                                   0xb1, 0xfd, 0x86, 0x62, 0x05, 0x16, 0x5f, 0x49, 0xb8, 0x00};
  std::memcpy(order8.data(), point, 32);
  for (const std::string& bad : {std::string(32, '\0'), order8}) {
    const std::string text =
        "kelpk1" + base64url(bad + sha256("kel-safe public key" + bad).substr(0, 4));
    EXPECT_EQ(kel::check_public_key(text, error), kel::Status::invalid_argument);
    EXPECT_NE(error.find("small order"), std::string::npos) << error;
  }
}

// A recipient slot after the password slot: the common part alone, with
// the recipient's public key as P, and a MAC that holds under the key.
TEST(CreateStore, Version3RecipientSlotLayout) {
  TempDir dir;
  kel::Safe safe(dir.file("v3"), kPassword);
  std::string error;
  ASSERT_EQ(safe.create_safe(kel::test::cheapest(3), error), 0) << error;
  ASSERT_EQ(safe.add_entry(kel::Entry("first", "one value"), error), 0) << error;
  std::string identity, public_key;
  ASSERT_EQ(kel::generate_identity(identity, public_key, error), kel::Status::ok);
  ASSERT_EQ(safe.grant_recipient(public_key, "laptop", error), 0) << error;
  EXPECT_EQ(safe.grant_recipient(public_key, "again", error), -1);
  EXPECT_EQ(safe.status(), kel::Status::exists) << error;
  EXPECT_EQ(safe.grant_recipient(public_key, std::string(65, 'x'), error), -1);
  EXPECT_EQ(safe.status(), kel::Status::invalid_argument);
  EXPECT_EQ(safe.grant_password(kel::test::kOtherPassword, "two\nlines", error), -1);
  EXPECT_EQ(safe.status(), kel::Status::invalid_argument);
  const std::string file = read_file(dir.file("v3.safe"));
  const std::size_t at = 52 + 257;
  EXPECT_EQ(ref::read_le32(file, 12), at + 169 + 6);
  EXPECT_EQ(kel::test::hex(file.substr(48, 4)), "02000000");          // two slots
  EXPECT_EQ(kel::test::hex(file.substr(at, 4)), "0200" "af00");       // kind 2, 175 bytes
  EXPECT_EQ(file.substr(at + 12, 7), std::string("\6laptop"));
  const std::int64_t created = static_cast<std::int64_t>(ref::read_le32(file, at + 4)) |
                               static_cast<std::int64_t>(ref::read_le32(file, at + 8)) << 32;
  EXPECT_LE(std::abs(created - static_cast<std::int64_t>(std::time(nullptr))), 60);
  unsigned char pk[32];
  ASSERT_EQ(kel::detail::parse_public_key(public_key, pk, error), 0) << error;
  EXPECT_EQ(file.substr(at + 19, 32), std::string(reinterpret_cast<const char*>(pk), 32));
  std::vector<unsigned char> header(file.begin(), file.begin() + static_cast<long>(at + 175));
  std::vector<kel::detail::SlotFrame> slots;
  ASSERT_EQ(kel::detail::parse_v3_header(header, slots, error), 0) << error;
  ASSERT_EQ(slots.size(), 2u);
  EXPECT_EQ(slots[1].kind, 2u);
  EXPECT_EQ(slots[1].length, 175u);
  // The identity opens the store key; the password slot's key is the same.
  kel::detail::Credential credential;
  credential.kind = kel::detail::Credential::Kind::identity;
  ASSERT_EQ(kel::detail::parse_identity(identity, credential.identity_secret.data(),
                                        credential.identity_public, error),
            0);
  unsigned char by_identity[32], by_password[32];
  std::size_t opened = 9;
  ASSERT_EQ(kel::detail::open_v3_header(header, "", 1, by_identity, error, &opened, &credential),
            0)
      << error;
  EXPECT_EQ(opened, 1u);
  ASSERT_EQ(kel::detail::open_v3_header(header, kPassword, 1, by_password, error), 0);
  EXPECT_EQ(std::memcmp(by_identity, by_password, 32), 0);
  EXPECT_TRUE(kel::detail::v3_slot_mac_holds(header, slots[1], by_password));
  // A recipient slot of the wrong length for its label is damage.
  std::vector<unsigned char> longer = header;
  longer[at + 2] = 176;
  EXPECT_NE(kel::detail::parse_v3_header(longer, slots, error), 0);
}

// Format 2's header and records, read byte by byte with the tests' own
// offsets, libargon2 and libcrypto: the magic and version, the parameters
// as asked, a zero reserved field, the store key unwrapped with the header
// as additional data, names bound to the store identifier and values to
// their names.
TEST(CreateStore, Version2LayoutReadsWithTheReferenceReader) {
  TempDir dir;
  kel::Safe safe(dir.file("v2"), kPassword);
  std::string error;
  kel::StoreOptions options = kel::test::cheapest_v2();
  options.kdf_lanes = 2;
  // Sealed on two threads, unwrapped below by the reader on one.
  safe.set_kdf_threads(2);
  ASSERT_EQ(safe.create_safe(options, error), 0) << error;
  const std::string empty = read_file(dir.file("v2.safe"));
  ASSERT_EQ(empty.size(), ref::kHeaderSize);
  EXPECT_EQ(empty.substr(0, 8), ref::kV2Magic);
  EXPECT_EQ(ref::read_le32(empty, ref::kV2VersionAt), 2u);
  EXPECT_EQ(ref::read_le32(empty, ref::kV2MemoryAt), 19u * 1024);
  EXPECT_EQ(ref::read_le32(empty, ref::kV2PassesAt), 2u);
  EXPECT_EQ(ref::read_le32(empty, ref::kV2LanesAt), 2u);
  EXPECT_EQ(empty.substr(ref::kV2ReservedAt, 16), std::string(16, '\0'));
  ASSERT_TRUE(ref::unwrap_store_key_v2(empty, kPassword).has_value());
  EXPECT_FALSE(ref::unwrap_store_key_v2(empty, kel::test::kOtherPassword).has_value());

  ASSERT_EQ(safe.add_entry(kel::Entry("first", "one value"), error), 0) << error;
  ASSERT_EQ(safe.add_entry(kel::Entry("second", std::string(3000, '\0')), error), 0) << error;
  const std::string file = read_file(dir.file("v2.safe"));
  EXPECT_EQ(file.substr(0, ref::kHeaderSize), empty);
  const ref::StoreWalk walk = ref::walk_store_bytes(file, kPassword, true);
  ASSERT_EQ(walk.problem, "");
  EXPECT_EQ(walk.format, 2);
  ASSERT_EQ(walk.records.size(), 2u);
  EXPECT_EQ(walk.records[0].name, "first");
  EXPECT_EQ(walk.records[0].value, "one value");
  EXPECT_EQ(walk.records[1].value, std::string(3000, '\0'));
  EXPECT_EQ(walk.records[1].value_offset, 132 + 5 + 9 + 69 + 6 + 41);
  // Without their bindings neither name nor value authenticates.
  const auto spans = ref::record_spans(file);
  ASSERT_EQ(spans.size(), 2u);
  EXPECT_FALSE(ref::open_name(file, spans[0], walk.store_key).has_value());
  EXPECT_FALSE(ref::open_value(file, spans[0], walk.store_key).has_value());
  EXPECT_FALSE(ref::open_value(file, spans[0], walk.store_key, "second").has_value());

  kel::FormatInfo info;
  ASSERT_EQ(safe.format_info(info, error), 0) << error;
  EXPECT_EQ(info.version, 2);
  EXPECT_EQ(info.kdf_memory_kib, 19u * 1024);
  EXPECT_EQ(info.kdf_passes, 2u);
  EXPECT_EQ(info.kdf_lanes, 2u);
  kel::Safe v1(dir.file("v1"), kPassword);
  ASSERT_EQ(v1.create_safe(error), 0) << error;
  EXPECT_EQ(v1.format_version(error), 1);
}

TEST(CreateStore, Version2ParametersBelowTheMinimumAreRefused) {
  TempDir dir;
  struct Case {
    std::uint32_t memory, passes, lanes;
    const char* says;
  };
  for (const Case& c : {Case{19 * 1024 - 1, 1, 1, "below the minimum of 19 MiB"},
                        Case{19 * 1024 - 1, 3, 1, "below the minimum of 19 MiB"},
                        // OWASP's minimum: memory times passes at least 19 MiB times 2.
                        Case{19 * 1024, 1, 1, "below the minimum for a new store"},
                        Case{38 * 1024 - 1, 1, 4, "below the minimum for a new store"},
                        Case{19 * 1024, 1, 65, "lanes must be 1 to 64"},
                        Case{19 * 1024, 1025, 1, "passes must be 1 to 1024"},
                        Case{5u * 1024 * 1024, 1, 1, "above the maximum of 4 GiB"},
                        // Each within its bounds, together minutes of work.
                        Case{4u * 1024 * 1024, 9, 1, "more than kel-safe ever makes"},
                        Case{1024 * 1024, 33, 1, "more than kel-safe ever makes"}}) {
    kel::StoreOptions options = kel::test::cheapest_v2();
    options.kdf_memory_kib = c.memory;
    options.kdf_passes = c.passes;
    options.kdf_lanes = c.lanes;
    kel::Safe safe(dir.file("weak"), kPassword);
    std::string error;
    EXPECT_EQ(safe.create_safe(options, error), -1);
    EXPECT_EQ(safe.status(), kel::Status::invalid_argument);
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(dir.file("weak.safe")));
  }
  kel::StoreOptions unknown;
  unknown.format = 4;
  kel::Safe safe(dir.file("weak"), kPassword);
  std::string error;
  EXPECT_EQ(safe.create_safe(unknown, error), -1);
  EXPECT_EQ(error, "Unknown store format 4 (1, 2 or 3)");
}

// What a new store gets when calibration aims at almost no time: never less
// work than 64 MiB with 3 passes, also when the memory is given; parameters
// given in full may go below that floor down to OWASP's minimum. Lanes
// left at 0 are four.
TEST(CreateStore, Version2CalibrationKeepsToTheFloor) {
  TempDir dir;
  struct Case {
    std::uint32_t memory, passes, lanes;
    kel::FormatInfo made;
  };
  const std::uint32_t mib = 1024;
  for (const Case& c : {Case{0, 0, 0, {2, 64 * mib, 3, 4}},
                        Case{19 * mib, 0, 1, {2, 19 * mib, 11, 1}},
                        Case{0, 2, 2, {2, 64 * mib, 2, 2}},
                        Case{38 * mib, 1, 1, {2, 38 * mib, 1, 1}}}) {
    kel::StoreOptions options;
    options.format = 2;
    options.kdf_time_ms = 1;
    options.kdf_memory_kib = c.memory;
    options.kdf_passes = c.passes;
    options.kdf_lanes = c.lanes;
    const std::string name = dir.file("made-" + std::to_string(c.memory) + "-" +
                                      std::to_string(c.passes));
    kel::Safe safe(name, kPassword);
    std::string error;
    ASSERT_EQ(safe.create_safe(options, error), 0) << error;
    kel::FormatInfo info;
    ASSERT_EQ(safe.format_info(info, error), 0) << error;
    EXPECT_EQ(info.kdf_memory_kib, c.made.kdf_memory_kib) << name;
    EXPECT_EQ(info.kdf_passes, c.made.kdf_passes) << name;
    EXPECT_EQ(info.kdf_lanes, c.made.kdf_lanes) << name;
  }
}

// The minimum binds new stores only: a store made before it, with 19 MiB
// and one pass, still opens, on one thread and on four.
TEST(CreateStore, Version2StoreBelowTheNewMinimumStillOpens) {
  TempDir dir;
  const std::string key(32, '\x07');
  unsigned char header[132];
  std::string error;
  ASSERT_EQ(kel::detail::seal_v2_header(reinterpret_cast<const unsigned char*>(key.data()),
                                        kPassword, {19 * 1024, 1, 4}, 1, nullptr, header,
                                        error),
            0)
      << error;
  kel::test::write_file(dir.file("old.safe"), as_string(header, sizeof header));
  for (const unsigned threads : {1u, 4u}) {
    kel::Store store(dir.file("old"), kPassword);
    store.engine->kdf_threads = threads;
    ASSERT_EQ(store.open_store(error), 0) << error;
    unsigned char opened[32] = {};
    ASSERT_EQ(store.get_store_key(opened), 0);
    EXPECT_EQ(as_string(opened, sizeof opened), key) << threads;
  }
}

}  // namespace
