#include "streams.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "shown_bytes.h"
#include "status.h"

namespace kel::tool {

namespace {

int g_data_fd = -1;
std::string* g_notes = nullptr;  // a session's capture of the notes

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

}  // namespace

void setup_standard_streams() {
  const bool stdout_open = is_open(1);
  for (int fd = 0; fd <= 2; ++fd) {
    if (is_open(fd)) continue;
    // open() returns the lowest free number, which is this one.
    const int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null_fd != fd && null_fd >= 0) close(null_fd);
  }
  g_data_fd = stdout_open ? 1 : -1;
  signal(SIGPIPE, SIG_IGN);
}

int data_fd() { return g_data_fd; }

void write_all(int fd, std::string_view bytes, std::string_view what) {
  if (fd < 0) {
    throw Failure(kFileError, "cannot write " + std::string(what) +
                                  ": standard output is closed");
  }
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Failure(kFileError, "cannot write " + std::string(what) + ": " +
                                    strerror(errno));
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void write_data(std::string_view bytes) {
  write_all(g_data_fd, bytes, "standard output");
}

void note(std::string_view line) {
  std::string text = "kel-safe: ";
  // A note may echo what the user gave (a name, a word of a batch line, a
  // library message that names an entry): a control byte in it (C1 too)
  // must not reach the terminal, nor a zero byte a program reading the
  // notes. Line ends and tabs stay; quoted() shows names in full already.
  std::size_t start = 0;
  for (std::size_t i = 0; i <= line.size(); ++i) {
    if (i < line.size() && line[i] != '\n' && line[i] != '\t') continue;
    append_shown(text, line.substr(start, i - start), utf8_locale());
    if (i < line.size()) text += line[i];
    start = i + 1;
  }
  text += '\n';
  if (g_notes != nullptr) {
    *g_notes += text;
    return;
  }
  try {
    write_all(2, text, "standard error");
  } catch (const Failure&) {
    // Nowhere left to report to; notes are informational.
  }
}

OutputRedirect::OutputRedirect(int data_fd, std::string* notes)
    : saved_fd_(g_data_fd), saved_notes_(g_notes) {
  g_data_fd = data_fd;
  g_notes = notes;
}

OutputRedirect::~OutputRedirect() {
  g_data_fd = saved_fd_;
  g_notes = saved_notes_;
}

void read_all(int fd, Secret& out, std::size_t limit, std::string_view what) {
  constexpr std::size_t kChunk = 64 * 1024;
  for (;;) {
    char* room = out.extend(kChunk);
    const ssize_t n = read(fd, room, kChunk);
    if (n < 0) {
      out.commit(0);
      if (errno == EINTR) continue;
      throw Failure(kFileError,
                    "cannot read " + std::string(what) + ": " + strerror(errno));
    }
    out.commit(static_cast<std::size_t>(n));
    if (n == 0) return;
    if (out.size() > limit) {
      throw Failure(kRejected, std::string(what) + " holds more than " +
                                   std::to_string(limit) +
                                   " bytes, the largest value a store takes");
    }
  }
}

}  // namespace kel::tool

namespace kel::tool {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

}  // namespace kel::tool
