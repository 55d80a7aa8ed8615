// Helpers for the item-operation tests: the store file layout as the tests'
// independent reader sees it, deterministic test values,
// child processes with a common start signal, and scoped changes of the
// working directory and of mounts.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/reference_store.h"

namespace kel::test::items {

// The store file's layout and cryptography come from the tests' one
// independent reader (support/reference_store.h), which shares no code with
// the library.
using ref::kHashAt;
using ref::kHeaderSize;
using ref::kKeyCipherAt;
using ref::kKeyNonceAt;
using ref::kKeyTagAt;
using ref::kSaltAt;
// One item record as found in a file, with the offsets of its fields.
using RawRecord = ref::RecordSpan;
// The store key, unwrapped from the header with the password; nullopt when
// the tag does not verify.
using ref::unwrap_store_key;
// ChaCha20-Poly1305 open with no associated data; nullopt on a bad tag.
using ref::aead_open;

std::uint64_t get_le(const std::string& bytes, std::size_t at, int width);
void put_le(std::string& bytes, std::size_t at, std::uint64_t value, int width);

// Walks the records from the end of the header (132 bytes, or format 3's
// stated length) to the end of the file. Records that do
// not fit the file end the walk; `complete` tells whether the walk ended
// exactly at the end of the file.
inline std::vector<RawRecord> parse_records(const std::string& file,
                                            bool* complete = nullptr) {
  return ref::record_spans(file, complete);
}

inline std::string sha3_512(const std::string& data) { return ref::sha3(512, data); }
// A complete record for `name` and `value` starting at file offset `start`,
// sealed under `key` with fixed nonces, built from the layout alone.
std::string build_record(const std::string& key, std::size_t start,
                         const std::string& name, const std::string& value);

inline std::optional<std::string> record_name(const std::string& file,
                                              const RawRecord& record,
                                              const std::string& key) {
  return ref::open_name(file, record, key);
}
inline std::optional<std::string> record_value(const std::string& file,
                                               const RawRecord& record,
                                               const std::string& key) {
  return ref::open_value(file, record, key);
}

// Deterministic bytes of the given length, zero bytes included.
std::string pattern(std::size_t length, std::uint32_t seed);
// A value derived from a name (length 1..~2000, some with zero bytes).
std::string value_for(const std::string& name);

// Creates an empty store at `path` with `password`, in `format` (2 and 3
// with the cheapest key derivation); fails the test if not.
void create_store(const std::string& path, const std::string& password, int format = 1);

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
