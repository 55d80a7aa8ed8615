// The framing that a session's results and requests travel in, shared by
// the batch mode (standard input and output) and the agent (its socket):
//
//   status N\n  length L\n  <L bytes of output>  notes M\n  <M bytes of notes>
//
// and, on the way in, command lines and "value L\n<L bytes>" blocks. The
// agent's requests carry a command's words as blocks as well, each
// "word L\n<L bytes>" and the last followed by "run\n", so that every byte
// of a word, a line end too, arrives as it was sent.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "secret.h"
#include "streams.h"

namespace kel::tool {

// Buffered reading of a descriptor: lines, and blocks of known length.
// Whatever passed through the buffer is wiped, since values pass through it.
class Input {
 public:
  explicit Input(int fd) : fd_(fd) {}
  ~Input();
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  // The next line without its line end; nullopt at the end of input. A line
  // longer than 1 MiB is refused (Failure, kUsage).
  std::optional<Secret> line();
  // Exactly `length` bytes; a Failure (kUsage) when the input ends first.
  Secret block(std::size_t length);
  // From now on no read waits past `deadline`: the input must have come by
  // then, or a Failure (kFileError) ends the reading.
  void set_deadline(std::chrono::steady_clock::time_point deadline) { deadline_ = deadline; }

 private:
  bool fill();
  void wait_for_input() const;

  int fd_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  char buffer_[64 * 1024];
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

// One command's standard output, kept in memory (never in a file on disk)
// until it is framed.
class Capture {
 public:
  Capture();
  int fd() const { return fd_.get(); }
  // What was written since the last take; the buffer is overwritten and
  // emptied.
  Secret take();

 private:
  UniqueFd fd_;
};

// Writes one result frame to `fd`.
void write_frame(int fd, int status, std::string_view output,
                 std::string_view notes);

// The length of a "value L" line, or nullopt for a line that is not one;
// a Failure (kUsage) for a malformed one.
std::optional<std::size_t> value_header(std::string_view line);

// `words` as a request carries them: a "word L" block each, then "run".
// Throws a Failure (kUsage) for a word longer than 1 MiB, which the other
// side would refuse: a word is never cut.
std::string frame_words(const std::vector<std::string>& words);

// The length of a "word L" line, or nullopt for a line that is not one; a
// Failure (kUsage) for a malformed one or a word longer than 1 MiB.
std::optional<std::size_t> word_header(std::string_view line);

}  // namespace kel::tool
