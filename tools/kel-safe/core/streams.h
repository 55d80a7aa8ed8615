// Where kel-safe's bytes go: data (a value, a list of names) on standard
// output and nothing else there; notes, prompts and errors on standard error.
// The library's own diagnostic lines reach standard error through the sink
// the tool installs (kel/diagnostics.h), or nowhere under -q.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "secret.h"

namespace kel::tool {

// Call first thing in main(). Makes sure descriptors 0, 1 and 2 are open (a
// closed one is replaced by /dev/null so that no file the library opens can
// take its number) and remembers whether standard output was open, so that
// data is never written into such a stand-in. Ignores SIGPIPE: a reader that
// went away is reported as a write error instead of killing the process.
void setup_standard_streams();

// The descriptor that data goes to: standard output, or -1 when it was
// closed when the tool started.
int data_fd();

// Writes all bytes to `fd`, retrying short writes and EINTR; throws a
// Failure (kFileError) naming `what` when that fails.
void write_all(int fd, std::string_view bytes, std::string_view what);
// Writes to the data descriptor.
void write_data(std::string_view bytes);
// A line for the user on standard error (never on the data descriptor), its
// control bytes but line ends and tabs shown as \xHH.
void note(std::string_view line);

// Inside a session, one command's data and notes are captured to be framed
// (batch mode): while a redirection lives, data goes to `data_fd` and notes
// are appended to `notes` (when not null). The previous targets come back
// when it goes.
class OutputRedirect {
 public:
  OutputRedirect(int data_fd, std::string* notes);
  ~OutputRedirect();
  OutputRedirect(const OutputRedirect&) = delete;
  OutputRedirect& operator=(const OutputRedirect&) = delete;

 private:
  int saved_fd_;
  std::string* saved_notes_;
};

// Reads `fd` to its end into `out`, stopping with a Failure (kRejected)
// once more than `limit` bytes arrived.
void read_all(int fd, Secret& out, std::size_t limit, std::string_view what);

}  // namespace kel::tool

namespace kel::tool {

// A descriptor this process opened for itself, closed when it goes.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace kel::tool
