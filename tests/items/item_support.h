// Helpers for the item-operation tests: an independent reader of the store
// file layout (own offsets, own OpenSSL calls), deterministic test values,
// child processes with a common start signal, and scoped changes of the
// working directory and of mounts.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kel::test::items {

// Layout of a store file, written down here once more on purpose: the tests
// must not share the library's own constants.
inline constexpr std::size_t kHeaderSize = 132;
inline constexpr std::size_t kHashAt = 0;        // 64 bytes
inline constexpr std::size_t kSaltAt = 64;       // 8 bytes
inline constexpr std::size_t kKeyCipherAt = 72;  // 32 bytes
inline constexpr std::size_t kKeyNonceAt = 104;  // 12 bytes
inline constexpr std::size_t kKeyTagAt = 116;    // 16 bytes

// One item record as found in a file: start offset R, name length N, value
// length V and the stored value_offset.
struct RawRecord {
  std::size_t start = 0;
  std::size_t name_length = 0;
  std::uint32_t value_length = 0;
  std::int64_t value_offset = 0;
  std::size_t length() const { return name_length + value_length + 69; }
  std::size_t end() const { return start + length(); }
  // Offsets of the fields inside the file.
  std::size_t name_cipher_at() const { return start + 1; }
  std::size_t name_nonce_at() const { return start + 1 + name_length; }
  std::size_t name_tag_at() const { return start + 13 + name_length; }
  std::size_t value_offset_at() const { return start + 29 + name_length; }
  std::size_t value_length_at() const { return start + 37 + name_length; }
  std::size_t value_cipher_at() const { return start + 41 + name_length; }
  std::size_t value_nonce_at() const {
    return start + 41 + name_length + value_length;
  }
  std::size_t value_tag_at() const {
    return start + 53 + name_length + value_length;
  }
};

std::uint64_t get_le(const std::string& bytes, std::size_t at, int width);
void put_le(std::string& bytes, std::size_t at, std::uint64_t value, int width);

// Walks the records from offset 132 to the end of the file. Records that do
// not fit the file end the walk; `complete` tells whether the walk ended
// exactly at the end of the file.
std::vector<RawRecord> parse_records(const std::string& file,
                                     bool* complete = nullptr);

// The store key, unwrapped from the header with the password (PBKDF2-HMAC-
// SHA256, 1000 iterations, then ChaCha20-Poly1305); nullopt when the tag
// does not verify.
std::optional<std::string> unwrap_store_key(const std::string& file,
                                            const std::string& password);
// ChaCha20-Poly1305 open with no associated data; nullopt on a bad tag.
std::optional<std::string> aead_open(const std::string& key,
                                     const std::string& nonce,
                                     const std::string& cipher,
                                     const std::string& tag);
std::string sha3_512(const std::string& data);
// ChaCha20-Poly1305 seal with no associated data: cipher followed by tag.
std::string aead_seal(const std::string& key, const std::string& nonce,
                      const std::string& plain);
// A complete record for `name` and `value` starting at file offset `start`,
// sealed under `key` with the given nonces, built from the layout alone.
std::string build_record(const std::string& key, std::size_t start,
                         const std::string& name, const std::string& value);

std::optional<std::string> record_name(const std::string& file,
                                       const RawRecord& record,
                                       const std::string& key);
std::optional<std::string> record_value(const std::string& file,
                                        const RawRecord& record,
                                        const std::string& key);

// Deterministic bytes of the given length, zero bytes included.
std::string pattern(std::size_t length, std::uint32_t seed);
// A value derived from a name (length 1..~2000, some with zero bytes).
std::string value_for(const std::string& name);

// Creates an empty store at `path` with `password`; fails the test if not.
void create_store(const std::string& path, const std::string& password);

// Names of the entries of a directory, sorted.
std::vector<std::string> dir_entries(const std::string& dir);
// Permission bits of a file, or -1.
int file_mode(const std::string& path);

// Children that start their work together: fork() them, then release().
class ChildGroup {
 public:
  ChildGroup();
  ~ChildGroup();
  ChildGroup(const ChildGroup&) = delete;
  ChildGroup& operator=(const ChildGroup&) = delete;
  // Forks a child that waits for release() and then exits with body()'s
  // result. Returns the child's pid.
  pid_t spawn(const std::function<int()>& body);
  void release();
  // Waits for every child; exit codes in spawn order (-1 for a signal).
  std::vector<int> wait_all();

 private:
  int start_pipe_[2] = {-1, -1};
  std::vector<pid_t> children_;
};

// Runs body() in a child process and returns its exit code (-1: signal).
int run_in_child(const std::function<int()>& body);
// Runs body() in a child process without root's power to ignore file
// permissions: when run as root, the child first hands `dir` (recursively)
// to the unprivileged user 65534 and then becomes that user.
int run_unprivileged(const std::string& dir, const std::function<int()>& body);

// Runs body() in a child process as the user `uid` with the primary group
// `gid` and the supplementary `groups`; 92 when the switch failed (needs
// root).
int run_as(uid_t uid, gid_t gid, const std::vector<gid_t>& groups,
           const std::function<int()>& body);

// Changes the working directory for the lifetime of the object.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir);
  ~ScopedCwd();
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;
  bool ok() const { return ok_; }

 private:
  int old_fd_ = -1;
  bool ok_ = false;
};

// A memory file system (tmpfs by default) mounted on `dir` for the
// lifetime of the object.
class ScopedTmpfs {
 public:
  ScopedTmpfs(const std::string& dir, bool read_only,
              const std::string& type = "tmpfs");
  ~ScopedTmpfs();
  ScopedTmpfs(const ScopedTmpfs&) = delete;
  ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& reason() const { return reason_; }

 private:
  std::string dir_;
  bool mounted_ = false;
  std::string reason_;
};

}  // namespace kel::test::items
