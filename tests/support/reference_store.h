// A second, deliberately separate description of the store file and its
// cryptography, for every test that needs to read or build store files byte
// by byte. It calls OpenSSL directly and keeps its own byte offsets, so that
// the library's format code and cipher wrappers can be checked against
// something they do not share code with.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kel::test::ref {

using Bytes = std::string;

// Header layout: hash, salt, wrapped key, its nonce, its tag.
inline constexpr std::size_t kHeaderSize = 132;
inline constexpr std::size_t kHashAt = 0, kHashLen = 64;
inline constexpr std::size_t kSaltAt = 64, kSaltLen = 8;
inline constexpr std::size_t kKeyCipherAt = 72, kKeyCipherLen = 32;
inline constexpr std::size_t kKeyNonceAt = 104, kNonceLen = 12;
inline constexpr std::size_t kKeyTagAt = 116, kTagLen = 16;

// Digests and key derivation straight from libcrypto.
Bytes sha3(int bits, const Bytes& data);
Bytes pbkdf2_sha256(const Bytes& password, const Bytes& salt, int iterations,
                    std::size_t length);
Bytes random_bytes(std::size_t count);

// Plain ChaCha20 with a 16-byte IV (little-endian counter, then the nonce).
Bytes chacha20(const Bytes& key, const Bytes& iv, const Bytes& in);

// ChaCha20-Poly1305, with additional data only where given (format 2).
struct Sealed {
  Bytes cipher;
  Bytes tag;
};
Sealed aead_seal(const Bytes& key, const Bytes& nonce, const Bytes& plain,
                 const Bytes& ad = {});
std::optional<Bytes> aead_open(const Bytes& key, const Bytes& nonce,
                               const Bytes& cipher, const Bytes& tag, const Bytes& ad = {});

// Format 2's header: magic "\x89KELSAFE", version 2, Argon2id memory (KiB),
// passes, lanes, salt, store identifier, 16 zero bytes, then the wrapped
// store key's nonce, cipher and tag; bytes 0..84 are the wrapping's
// additional data. Names are sealed with the store identifier as additional
// data, values with their plain name.
inline constexpr std::size_t kV2VersionAt = 8, kV2MemoryAt = 12, kV2PassesAt = 16,
                             kV2LanesAt = 20, kV2SaltAt = 24, kV2SaltLen = 16,
                             kV2IdAt = 40, kV2IdLen = 16, kV2ReservedAt = 56,
                             kV2NonceAt = 72, kV2CipherAt = 84, kV2TagAt = 116;
inline const Bytes kV2Magic("\x89KELSAFE", 8);
// Argon2id (version 0x13) straight from libargon2.
Bytes argon2id(const Bytes& password, const Bytes& salt, std::uint32_t memory_kib,
               std::uint32_t passes, std::uint32_t lanes, std::size_t length);
// The store key of a format-2 file, if `password` unwraps it.
std::optional<Bytes> unwrap_store_key_v2(const Bytes& file, const Bytes& password);

// Little-endian integers as the records hold them.
Bytes le64(std::int64_t value);
Bytes le32(std::uint32_t value);
std::int64_t read_le64(const Bytes& bytes, std::size_t at);
std::uint32_t read_le32(const Bytes& bytes, std::size_t at);

// A complete 132-byte header that wraps `store_key` under `password`.
Bytes make_header(const Bytes& password, const Bytes& salt,
                  const Bytes& store_key, const Bytes& nonce);
// The store key held by a store file's header, if `password` unwraps it.
std::optional<Bytes> unwrap_store_key(const Bytes& file, const Bytes& password);

// One item record that starts at file offset `start`. value_offset is
// start + N + 41 unless overridden; value_length is the value's size unless
// overridden (the cipher is still made from `value` itself).
// The nonces are random unless given (12 bytes each), for files that must
// come out the same on every run.
struct RecordOptions {
  std::optional<std::int64_t> value_offset;
  std::optional<std::uint32_t> value_length;
  std::optional<Bytes> name_nonce;
  std::optional<Bytes> value_nonce;
};
Bytes make_record(const Bytes& store_key, std::int64_t start, const Bytes& name,
                  const Bytes& value, const RecordOptions& options = {});

// Where one record lies in a file and the lengths it states, with the
// offsets of its fields: name_length(1) name(N) nonce(12) tag(16)
// value_offset(8) value_length(4) value(V) nonce(12) tag(16).
struct RecordSpan {
  std::size_t start = 0;  // offset of name_length
  std::size_t name_length = 0;
  std::uint32_t value_length = 0;  // as stored
  std::int64_t value_offset = 0;   // as stored
  std::size_t length() const { return name_length + value_length + 69; }
  std::size_t end() const { return start + length(); }
  std::size_t name_cipher_at() const { return start + 1; }
  std::size_t name_nonce_at() const { return start + 1 + name_length; }
  std::size_t name_tag_at() const { return start + 13 + name_length; }
  std::size_t value_offset_at() const { return start + 29 + name_length; }
  std::size_t value_length_at() const { return start + 37 + name_length; }
  std::size_t value_cipher_at() const { return start + 41 + name_length; }
  std::size_t value_nonce_at() const { return value_cipher_at() + value_length; }
  std::size_t value_tag_at() const { return value_nonce_at() + 12; }
};
// The record whose first byte is at `at`, from the lengths it states; its
// fixed part (name_length to value_length) must lie inside `file`.
RecordSpan span_at(const Bytes& file, std::size_t at);
// The records of a file by their stated lengths alone, no key needed: from
// the header's end until a zero first byte, or a record that does not fit
// the file. `complete` tells whether that is exactly the end of the file.
std::vector<RecordSpan> record_spans(const Bytes& file, bool* complete = nullptr);
// A record's name or value, if it authenticates under `store_key`.
// `ad`: the additional data format 2 binds the field to (none in format 1).
std::optional<Bytes> open_name(const Bytes& file, const RecordSpan& span,
                               const Bytes& store_key, const Bytes& ad = {});
std::optional<Bytes> open_value(const Bytes& file, const RecordSpan& span,
                                const Bytes& store_key, const Bytes& ad = {});

// What one record of a file says, read with the offsets above.
struct RecordView {
  std::int64_t start = 0;
  unsigned name_length = 0;
  Bytes name;  // decrypted
  std::int64_t value_offset = 0;
  std::uint32_t value_length = 0;
  Bytes value;  // decrypted
};
// Reads every record of a complete store file; throws on damage.
std::vector<RecordView> read_records(const Bytes& file, const Bytes& store_key);

// A tolerant walk over a store file, for files that may be torn or damaged:
// it says what it found instead of throwing.
struct RawRecord {
  std::size_t start = 0;           // offset of name_length
  std::string name;                // decrypted name (empty if it did not authenticate)
  bool name_ok = false;
  std::int64_t value_offset = 0;   // as stored
  std::uint32_t value_length = 0;  // as stored
  bool value_ok = false;           // value authenticated (only when values were asked for)
  std::string value;               // decrypted value (only when values were asked for)
};

struct StoreWalk {
  int format = 1;            // 2 when the file begins with format 2's magic
  Bytes store_id;            // format 2: what every name is bound to
  // Format 1: SHA3-512(password || salt) matches the header. Format 2: the
  // Argon2id key unwraps the store key.
  bool password_ok = false;
  bool key_ok = false;       // the wrapped store key authenticated
  std::vector<RawRecord> records;
  // Offset where the chain of complete records ends.
  std::size_t records_end = 0;
  // A region after the last complete record that starts with a zero byte:
  // the trace of an append that was cut short.
  bool interrupted_tail = false;
  // Empty when every byte of the file belongs to a well-formed record (or to
  // an interrupted tail); otherwise what is wrong and where.
  std::string problem;
  Bytes store_key;  // 32 bytes once key_ok
};

// Reads and checks the file at `path`. With `values` the value of every
// record is decrypted and authenticated too.
StoreWalk walk_store_file(const std::string& path, const Bytes& password, bool values);
StoreWalk walk_store_bytes(const Bytes& bytes, const Bytes& password, bool values);

// Builds a store file in memory: a header for `password` and a fresh random
// store key, then records appended one after another.
class StoreImage {
 public:
  explicit StoreImage(const Bytes& password);
  const Bytes& store_key() const { return key_; }
  const Bytes& bytes() const { return bytes_; }
  // Appends a record and returns its start offset.
  std::int64_t add(const Bytes& name, const Bytes& value,
                   const RecordOptions& options = {});
  void append_raw(const Bytes& raw) { bytes_ += raw; }
  void truncate(std::size_t size) { bytes_.resize(size); }

 private:
  Bytes key_;
  Bytes bytes_;
};

// Runs `body` in a forked child and returns what it reported: an empty
// string when all went well, otherwise a description of what went wrong.
// The child leaves with _exit, so nothing of the parent's state is flushed
// or destroyed twice.
std::string run_in_child(const std::function<std::string()>& body);

}  // namespace kel::test::ref
