// An independent reader of store files for the robustness tests. It knows the
// byte layout by its own numbers (not the library's format constants), derives
// the store key from the header with the password itself, and walks the
// records so that a test can tell a well-formed file from a torn one without
// trusting the code under test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kel::robust {

// One record as found in the file.
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
  bool password_ok = false;  // SHA3-512(password || salt) matches the header
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
  unsigned char store_key[32] = {};
};

// Reads and checks the file at `path`. With `values` the value of every
// record is decrypted and authenticated too.
StoreWalk walk_store_file(const std::string& path, const std::string& password,
                          bool values);
StoreWalk walk_store_bytes(const std::string& bytes, const std::string& password,
                           bool values);

// ChaCha20-Poly1305 open with a 12-byte nonce and a 16-byte tag, no AAD.
bool aead_open(const unsigned char* key, const unsigned char* nonce,
               const unsigned char* cipher, std::size_t length,
               const unsigned char* tag, std::string& plain);
// ChaCha20-Poly1305 seal (used to build files byte by byte in tests).
bool aead_seal(const unsigned char* key, const unsigned char* nonce,
               const std::string& plain, std::string& cipher,
               unsigned char* tag);

// A complete 132-byte header for `password`, wrapping `store_key` with the
// given salt and nonce.
std::string make_header(const std::string& password, const unsigned char* salt8,
                        const unsigned char* store_key32,
                        const unsigned char* nonce12);

// A record for `name`/`value` starting at file offset `start`.
std::string make_record(const unsigned char* store_key32, std::size_t start,
                        const std::string& name, const std::string& value,
                        const unsigned char* name_nonce12,
                        const unsigned char* value_nonce12);

// Whether `haystack` contains `needle` (byte-wise).
bool contains_bytes(const std::string& haystack, const std::string& needle);

// Every regular file under `dir` (recursively), except below `skip` if given.
std::vector<std::string> files_below(const std::string& dir,
                                     const std::string& skip = {});

// Removal temporaries of `store_path` that lie in its directory:
// "<store_path>.<digits>-<8 hex digits>.safe".
std::vector<std::string> removal_temporaries(const std::string& store_path);

// Deterministic test data: a value of 1..max bytes (zero bytes included)
// derived from a name, so that every process can check any value.
std::string value_for(const std::string& name, std::size_t max_length);

}  // namespace kel::robust
