// Reading the header's fields. A password change elsewhere rewrites the
// header in place under the write lock, so a read without a lock may see it
// half written. Readers do not wait for writers: they read without a lock
// first and rely on the header's authentication (a torn header fails the
// password check or the key unwrap), try again a few times, and take the
// shared lock on the whole file only for their last attempt.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "kel/store.h"
#include "engine/records/format.h"

namespace kel::detail {

// How many times a header read that fails to authenticate is made in all;
// the last one under the shared lock.
inline constexpr int kHeaderAttempts = 4;

// What one attempt at a header read found. replaced: the file at the
// store's path changed format between two reads (an upgrade, or a file of
// the other format renamed over it): the reader starts over from the path.
enum class HeaderCheck { match, mismatch, failed, replaced };

// How many times a reader that found another file at the path starts over;
// each time another process renamed a file over the store, which cannot go
// on for ever.
inline constexpr int kMaxReplacedRestarts = 100;

// Watches the header at a path between the attempts of a header check. An
// attempt that failed between two reads of the same bytes saw a header no
// writer was rewriting (a password change always draws a new salt), so its
// answer is final: a wrong password is told at once, however long another
// process holds the write lock.
class HeaderWatch {
 public:
  explicit HeaderWatch(const std::string& path) : path_(path) {}
  // Reads the header now; true when it equals the one read at the previous
  // call. Any failure to read is "not steady".
  bool steady();

 private:
  const std::string& path_;
  std::optional<std::array<unsigned char, format::kHeaderSize>> last_;
};

// Holds a shared whole-file lock on a descriptor for its lifetime (when
// `take`; otherwise nothing).
class SharedFileLock {
 public:
  explicit SharedFileLock(int fd, bool take = true);
  ~SharedFileLock();
  SharedFileLock(const SharedFileLock&) = delete;
  SharedFileLock& operator=(const SharedFileLock&) = delete;

 private:
  int fd_;
  bool locked_;
};

// Reads the five header fields of `fd` from offset 0 into the Store's header
// members, leaving the descriptor at offset 132. Messages as load_header's.
// The caller holds a lock on the file (shared, or the write lock).
int read_header_fields(Store& store, int fd, std::string& text);

// The format-1 header as the Store's header members hold it: the header the
// open store's password was checked against (or last wrote).
void header_of_members(const Store& store, unsigned char* header);

// Whether the file open on `fd` (found at `path`) can be a store at all: a
// regular file of at least 132 bytes. Otherwise -1, and `text` names it as
// not a kel-safe store, so that it is not taken for a wrong password.
int check_store_shape(int fd, const std::string& path, std::string& text);

// The message for a store file that could not be opened: a directory is
// named as not a store, anything else as `prefix` + the system's error text.
std::string open_failure(const std::string& prefix, const std::string& path,
                         int error_number);

// Reads the password hash and salt (the first 72 bytes) of `fd`, under the
// shared lock when `locked`. A short file leaves the rest zero. Messages as
// the password checks'.
int read_hash_and_salt(int fd, unsigned char* hash, unsigned char* salt,
                       std::string& text, bool locked = true);

// One attempt of Store::verify_store_password(error), reading the header
// under the shared lock only when `locked`: mismatch when the password
// does not match what was read ("Invalid password"), failed when the file
// cannot be read as a store. A format-2 file is checked by opening the
// store with its password, unless `open_version2` is false: then it is
// `replaced` (the caller expected format 1 there).
HeaderCheck check_password(Store& store, bool locked, std::string& error,
                           bool open_version2 = true);

// Store::load_header, with the shared lock only when `locked`.
int load_header(Store& store, bool locked, std::string& text);

// Reads the whole header of `fd`, under a shared lock when `locked` (a short
// file leaves the rest zero). 0, or -1 with errno set. Without the lock the
// bytes may be caught half rewritten by a password change; which format
// they are in is still sound, since a change never alters it.
int read_header_bytes(int fd, unsigned char* header, bool locked = true);

// Whether the file at `path` is a regular file with a format-2 header. Any
// failure to tell is "no": the format-1 code then reports it as it always
// has.
bool is_version2_file(const std::string& path);

// The answer of an open Store (its password wiped) whose file now has a
// header of the other format than the one its password was checked
// against: an upgrade made elsewhere, or its backup put back. The key it
// holds still reads and writes the file, but whether the password opens
// the new header cannot be told without the password.
extern const char* const kFormatChangedSinceOpen;

// For an open Store (its password wiped): whether the format-2 `header` of
// its file is still the one its password opened. False with "Invalid
// password" otherwise, or kFormatChangedSinceOpen when the password was
// checked against a format-1 header.
bool still_version2_header(const Store& store, const unsigned char* header,
                           std::string& error);

}  // namespace kel::detail
