#include "terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "status.h"
#include "streams.h"

namespace kel::tool {

namespace {

// The terminal whose echo is off right now, for the signal handler to put
// back. Plain globals: only async-signal-safe calls touch them there.
volatile sig_atomic_t g_restore_fd = -1;
struct termios g_saved_mode;

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void restore_and_reraise(int sig) {
  const int fd = g_restore_fd;
  if (fd >= 0) {
    tcsetattr(fd, TCSAFLUSH, &g_saved_mode);
    const char nl = '\n';
    [[maybe_unused]] ssize_t ignored = write(fd, &nl, 1);
    g_restore_fd = -1;
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

// Echo off for its lifetime; signal handlers put echo back if the process
// is stopped or killed while waiting for the user.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (tcgetattr(fd, &g_saved_mode) != 0) return;
    struct termios quiet = g_saved_mode;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK);
    quiet.c_lflag |= ECHONL;
    struct sigaction action {};
    action.sa_handler = restore_and_reraise;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
      sigaction(kSignals[i], &action, &previous_[i]);
    }
    installed_ = true;
    g_restore_fd = fd;
    if (tcsetattr(fd, TCSAFLUSH, &quiet) != 0) g_restore_fd = -1;
  }
  ~EchoOff() {
    if (g_restore_fd >= 0) {
      tcsetattr(fd_, TCSAFLUSH, &g_saved_mode);
      g_restore_fd = -1;
    }
    if (installed_) {
      for (std::size_t i = 0; i < std::size(kSignals); ++i) {
        sigaction(kSignals[i], &previous_[i], nullptr);
      }
    }
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  bool installed_ = false;
  struct sigaction previous_[std::size(kSignals)] = {};
};

}  // namespace

bool have_terminal() {
  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

Terminal::Terminal(std::string_view needed_for) {
  fd_ = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) {
    throw Failure(kUsage, "no terminal to ask for " + std::string(needed_for) +
                              " on");
  }
}

Terminal::~Terminal() {
  if (fd_ >= 0) close(fd_);
}

void Terminal::say(std::string_view text) { write_all(fd_, text, "the terminal"); }

Secret Terminal::read_hidden(std::string_view prompt) {
  Secret line(128);
  EchoOff quiet(fd_);
  say(prompt);
  for (;;) {
    char c = 0;
    const ssize_t n = read(fd_, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      throw Failure(kFileError,
                    std::string("cannot read the terminal: ") + strerror(errno));
    }
    if (n == 0) {
      // End of input (Ctrl-D on an empty line): the user gave up.
      if (line.empty()) throw Failure(kUsage, "no input given on the terminal");
      break;
    }
    if (c == '\n') break;
    line.push_back(c);
    c = 0;
  }
  if (!line.empty() && line.str().back() == '\r') {
    Secret trimmed(line.size());
    trimmed.append(line.str().data(), line.size() - 1);
    return trimmed;
  }
  return line;
}

Secret Terminal::read_confirmed(std::string_view prompt, std::string_view again) {
  Secret first = read_hidden(prompt);
  Secret second = read_hidden(again);
  if (!equal(first, second)) {
    throw Failure(kRejected, "the two entries do not match");
  }
  return first;
}

std::string human_size(double bytes) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  std::size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < std::size(units)) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes,
                units[unit]);
  return text;
}

ProgressBar::ProgressBar(std::string label)
    : label_(std::move(label)),
      enabled_(isatty(2) == 1),
      start_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() { finish(); }

void ProgressBar::update(std::uint64_t done, std::uint64_t total) noexcept {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!drawn_ && now - start_ < std::chrono::seconds(1)) return;
  if (drawn_ && done < total && now - last_draw_ < std::chrono::milliseconds(100)) {
    return;
  }
  last_draw_ = now;
  draw(done, total);
}

void ProgressBar::draw(std::uint64_t done, std::uint64_t total) noexcept {
  try {
    int columns = 80;
    struct winsize size {};
    if (ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) columns = size.ws_col;
    const double fraction =
        total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
    const double seconds = std::chrono::duration<double>(
                               std::chrono::steady_clock::now() - start_)
                               .count();
    char tail[96];
    std::snprintf(tail, sizeof tail, " %3d%% %s / %s  %s/s",
                  static_cast<int>(fraction * 100),
                  human_size(static_cast<double>(done)).c_str(),
                  human_size(static_cast<double>(total)).c_str(),
                  human_size(seconds > 0 ? static_cast<double>(done) / seconds : 0)
                      .c_str());
    const int room = columns - 1 - static_cast<int>(label_.size()) - 3 -
                     static_cast<int>(strlen(tail));
    std::string line = "\r" + label_ + " [";
    if (room >= 10) {
      const int filled = static_cast<int>(fraction * room);
      line.append(static_cast<std::size_t>(filled), '#');
      line.append(static_cast<std::size_t>(room - filled), '-');
    }
    line += "]";
    line += tail;
    line += "\x1b[K";  // clear what a longer earlier line left
    write_all(2, line, "standard error");
    drawn_ = true;
  } catch (...) {
    enabled_ = false;  // a broken standard error is no reason to fail
  }
}

void ProgressBar::finish() noexcept {
  if (!drawn_) return;
  drawn_ = false;
  try {
    write_all(2, "\n", "standard error");
  } catch (...) {
  }
}

}  // namespace kel::tool
