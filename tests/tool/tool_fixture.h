// A temporary directory with a store path and a password file, and short
// ways to run kel-safe on that store.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tool/run_tool.h"

namespace kel::test {

// Exit statuses as kel-safe documents them.
enum ExitStatus {
  kOk = 0,
  kFalse = 1,
  kUsage = 2,
  kWrongPassword = 3,
  kNotFound = 4,
  kExists = 5,
  kRejected = 6,
  kStoreError = 7,
  kFileError = 8,
};

class ToolTest : public testing::Test {
 protected:
  ToolTest();

  // kel-safe -s STORE --password-file PWFILE ARGS..., `input` on stdin.
  ToolResult tool(std::vector<std::string> args, const std::string& input = "");
  // The same on the store `other` (a path without ".safe").
  ToolResult tool_on(const std::string& other, std::vector<std::string> args,
                     const std::string& input = "");
  // kel-safe -s STORE ARGS... with no password but what `args` and `env`
  // give (an identity, a key file, a password file of their own).
  ToolResult keyed(std::vector<std::string> args, std::map<std::string, std::string> env = {},
                   const std::string& input = "");
  // Creates the store with kPassword, in the default format (3) unless told
  // otherwise; fails the test if that fails.
  void create_store(int format = 3);
  // The same for the store `other` (a path without ".safe").
  void create_store_on(const std::string& other, int format = 3);
  // Adds NAME=VALUE through standard input; fails the test if that fails.
  void add(const std::string& name, const std::string& value);
  // The names of the files in the directory, sorted.
  std::vector<std::string> files() const;
  // kel-safe --password-file PWFILE ARGS... on no store named: the
  // default store of HOME `home` (in the temp dir) and of `env`.
  ToolResult tool_at_home(std::vector<std::string> args,
                          std::map<std::string, std::string> env = {},
                          const std::string& input = "");

  TempDir dir;
  std::string store;          // given to -s, without ".safe"
  std::string store_file;     // the file itself
  std::string password_file;  // holds kPassword and a line end
  std::string home;           // HOME of tool_at_home
};

// The arguments of `create` for a store of `format` (1, 2 or 3); formats 2
// and 3 at the lowest key-derivation cost the tool accepts.
std::vector<std::string> create_args(int format);

// Where the records of the store file `bytes` begin: 132 in formats 1 and
// 2, the header length a format-3 header gives.
std::size_t header_length(const std::string& bytes);
// The 12 Argon2id parameter bytes (memory, passes, lanes) of a format-2
// header, or of a format-3 header's first slot (which has no label).
std::string kdf_bytes(const std::string& bytes);

// Makes an identity at `path` with kel-safe keygen; returns its public key
// (fails the test if that fails).
std::string make_identity(const std::string& path);

// A fake Wayland clipboard in `folder`: wl-copy appends "copy ARGS" to
// folder/log and keeps its standard input in folder/clip (empties it for
// --clear); wl-paste appends "paste PARENT-PID ARGS" and prints folder/clip,
// or "other" once folder/changed exists.
void write_fake_clipboard(const std::string& folder);

// A fake editor at `path`, for EDITOR="PATH ACTION": it writes to
// folder/editor-log (folder: where it lies) the file it was given, the
// modes of that file's folder and of the file, and the file system's type
// ("FILE 700 600 tmpfs"); then, by ACTION, appends "\nmore\n" to the file
// and leaves a swap file beside it (append), exits 1 (fail), waits a minute
// (wait), or leaves the file alone (anything else).
void write_fake_editor(const std::string& path);

// One result of kel-safe shell's batch mode.
struct Frame {
  int status = -1;
  std::string out;
  std::string notes;
};
// The frames of a batch run's standard output, read by the documented
// framing; fails the test on bytes that are not frames.
std::vector<Frame> parse_frames(const std::string& text);

// How often `part` occurs in `text`, without overlaps.
std::size_t count_of(const std::string& text, const std::string& part);

// A deterministic byte string of `length` bytes covering every byte value.
std::string pattern_bytes(std::size_t length, unsigned seed);

}  // namespace kel::test
