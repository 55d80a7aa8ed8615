#include "framing.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>

#include "status.h"

namespace kel::tool {

namespace {

// Longest command line taken; longer ones are refused, not split.
constexpr std::size_t kMaxLine = 1 << 20;
// Largest value a "value" block may carry, as add takes from standard input.
constexpr std::size_t kMaxValue = 0xffffffffu;
// Room a value block takes before its bytes come. A claimed length alone
// sizes nothing more: the room grows as the bytes actually arrive, so one
// line "value 4294967295" cannot make us take (and wipe) 4 GiB.
constexpr std::size_t kFirstBlockRoom = 1 << 20;

}  // namespace

Input::~Input() { wipe(buffer_, sizeof buffer_); }

std::optional<Secret> Input::line() {
  Secret out;
  for (;;) {
    if (start_ == end_ && !fill()) {
      if (out.empty()) return std::nullopt;
      return out;  // a last line without a line end
    }
    const char* from = buffer_ + start_;
    const void* newline = memchr(from, '\n', end_ - start_);
    const std::size_t take =
        newline
            ? static_cast<std::size_t>(static_cast<const char*>(newline) - from)
            : end_ - start_;
    out.append(from, take);
    start_ += take;
    if (out.size() > kMaxLine)
      throw Failure(kUsage, "a command line is longer than 1 MiB");
    if (newline) {
      ++start_;
      return out;
    }
  }
}

Secret Input::block(std::size_t length) {
  Secret out;
  out.reserve_more(std::min(length, kFirstBlockRoom));
  while (out.size() < length) {
    if (start_ == end_ && !fill())
      throw Failure(kUsage, "the input ended inside a value block");
    const std::size_t take = std::min(length - out.size(), end_ - start_);
    out.append(buffer_ + start_, take);
    start_ += take;
  }
  return out;
}

void Input::wait_for_input() const {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                          *deadline_ - std::chrono::steady_clock::now())
                          .count();
    pollfd ready{fd_, POLLIN, 0};
    const int n = left > 0 ? poll(&ready, 1, static_cast<int>(std::min<long long>(left, 60000)))
                           : 0;
    if (n > 0) return;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      throw Failure(kFileError, std::string("cannot read the commands: ") + strerror(errno));
    }
    if (left <= 60000) {
      throw Failure(kFileError, "cannot read the commands: they did not come in time");
    }
  }
}

bool Input::fill() {
  wipe(buffer_, sizeof buffer_);
  start_ = end_ = 0;
  for (;;) {
    if (deadline_) wait_for_input();
    const ssize_t n = read(fd_, buffer_, sizeof buffer_);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      throw Failure(kFileError, std::string("cannot read the commands: ") +
                                    strerror(errno));
    end_ = static_cast<std::size_t>(n);
    return n > 0;
  }
}

Capture::Capture() : fd_(memfd_create("kel-safe-output", MFD_CLOEXEC)) {
  if (!fd_) {
    throw Failure(kInternal, std::string("cannot make an output buffer: ") +
                                 strerror(errno));
  }
}

Secret Capture::take() {
  struct stat info {};
  if (fstat(fd_.get(), &info) != 0) {
    throw Failure(kInternal, std::string("cannot read the output buffer: ") +
                                 strerror(errno));
  }
  Secret out;
  const std::size_t size = static_cast<std::size_t>(info.st_size);
  char* room = out.extend(size);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n =
        pread(fd_.get(), room + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  out.commit(done);
  // Values were written here: overwrite them before the pages go back.
  static const char kZeros[4096] = {};
  for (std::size_t at = 0; at < size; at += sizeof kZeros) {
    const std::size_t n = std::min(sizeof kZeros, size - at);
    if (pwrite(fd_.get(), kZeros, n, static_cast<off_t>(at)) < 0) break;
  }
  if (ftruncate(fd_.get(), 0) != 0 || lseek(fd_.get(), 0, SEEK_SET) != 0) {
    throw Failure(kInternal, std::string("cannot empty the output buffer: ") +
                                 strerror(errno));
  }
  return out;
}

void write_frame(int fd, int status, std::string_view output,
                 std::string_view notes) {
  const std::string head = "status " + std::to_string(status) + "\nlength " +
                           std::to_string(output.size()) + "\n";
  write_all(fd, head, "the results");
  write_all(fd, output, "the results");
  write_all(fd, "notes " + std::to_string(notes.size()) + "\n", "the results");
  write_all(fd, notes, "the results");
}

namespace {

// The length L of a line "KEYWORD L" of at most `max`; nullopt for a line
// that is not one; a Failure (kUsage) saying `form` for a malformed one.
std::optional<std::size_t> length_header(std::string_view line,
                                         std::string_view keyword,
                                         std::size_t max,
                                         const char* form) {
  if (line.size() <= keyword.size() ||
      line.substr(0, keyword.size()) != keyword ||
      line[keyword.size()] != ' ') {
    return std::nullopt;
  }
  const std::string_view digits = line.substr(keyword.size() + 1);
  std::size_t length = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), length);
  if (error != std::errc() || end != digits.data() + digits.size() ||
      digits.empty() || length > max) {
    throw Failure(kUsage, form);
  }
  return length;
}

constexpr std::size_t kMaxWord = 1 << 20;

}  // namespace

std::optional<std::size_t> value_header(std::string_view line) {
  return length_header(
      line, "value", kMaxValue,
      "a value line reads \"value L\" with L the value's length in bytes");
}

std::string frame_words(const std::vector<std::string>& words) {
  std::string request;
  for (const std::string& word : words) {
    if (word.size() > kMaxWord) {
      throw Failure(kUsage, "a word of " + std::to_string(word.size()) +
                                " bytes is longer than the agent takes (1 MiB)");
    }
    request += "word " + std::to_string(word.size()) + "\n";
    request += word;
  }
  return request + "run\n";
}

std::optional<std::size_t> word_header(std::string_view line) {
  return length_header(
      line, "word", kMaxWord,
      "a word line reads \"word L\" with L the word's length, at most 1 MiB");
}

}  // namespace kel::tool
