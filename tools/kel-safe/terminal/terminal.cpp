#include "terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>

#include <kel/file_lock.h>

#include "status.h"
#include "streams.h"

namespace kel::tool {

namespace {

// The terminal whose echo is off right now, for the signal handlers to put
// back. Plain globals: only async-signal-safe calls touch them there.
volatile sig_atomic_t g_restore_fd = -1;
struct termios g_saved_mode;
struct termios g_quiet_mode;
// The prompt being shown, to show again when the process is continued.
char g_prompt[512];
volatile sig_atomic_t g_prompt_length = 0;

// Signals that end the process: the terminal gets its mode back first.
const int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
// Signals that stop it (Ctrl-Z, or a background read or write), and the one
// that continues it: echo goes back on while the process is stopped, and
// off again, with the prompt shown anew, once it runs again.
const int kStopSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT};
constexpr std::size_t kHandled = std::size(kEndSignals) + std::size(kStopSignals);

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

void stop_or_continue(int sig) {
  const int saved_errno = errno;
  const int fd = g_restore_fd;
  if (sig == SIGCONT) {
    if (fd >= 0) {
      tcsetattr(fd, TCSAFLUSH, &g_quiet_mode);
      [[maybe_unused]] ssize_t ignored =
          write(fd, g_prompt, static_cast<std::size_t>(g_prompt_length));
    }
  } else {
    if (fd >= 0) {
      tcsetattr(fd, TCSAFLUSH, &g_saved_mode);
      const char nl = '\n';
      [[maybe_unused]] ssize_t ignored = write(fd, &nl, 1);
    }
    // SIGSTOP rather than the signal itself: a stop signal sent to a
    // process group without a parent in the session is discarded by the
    // kernel, and the process must not go on reading with echo on.
    raise(SIGSTOP);
  }
  errno = saved_errno;
}

// Echo off for its lifetime; signal handlers put echo back if the process
// is stopped or killed while waiting for the user.
class EchoOff {
 public:
  EchoOff(int fd, std::string_view prompt) : fd_(fd) {
    if (tcgetattr(fd, &g_saved_mode) != 0) return;
    g_quiet_mode = g_saved_mode;
    g_quiet_mode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK);
    g_quiet_mode.c_lflag |= ECHONL;
    const std::size_t length = std::min(prompt.size(), sizeof g_prompt);
    memcpy(g_prompt, prompt.data(), length);
    g_prompt_length = static_cast<sig_atomic_t>(length);
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    std::size_t i = 0;
    action.sa_handler = restore_and_reraise;
    for (int sig : kEndSignals) sigaction(sig, &action, &previous_[i++]);
    action.sa_handler = stop_or_continue;
    action.sa_flags = SA_RESTART;
    // A terminal call made from the background inside the handler must fail
    // rather than stop the process a second time.
    for (int sig : kStopSignals) sigaddset(&action.sa_mask, sig);
    for (int sig : kStopSignals) sigaction(sig, &action, &previous_[i++]);
    installed_ = true;
    g_restore_fd = fd;
    if (tcsetattr(fd, TCSAFLUSH, &g_quiet_mode) != 0) g_restore_fd = -1;
  }
  ~EchoOff() {
    if (g_restore_fd >= 0) {
      tcsetattr(fd_, TCSAFLUSH, &g_saved_mode);
      g_restore_fd = -1;
    }
    if (installed_) {
      std::size_t i = 0;
      for (int sig : kEndSignals) sigaction(sig, &previous_[i++], nullptr);
      for (int sig : kStopSignals) sigaction(sig, &previous_[i++], nullptr);
    }
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  bool installed_ = false;
  struct sigaction previous_[kHandled] = {};
};

// The device node of the terminal open at `fd` (/dev/tty stands for the
// controlling terminal, whose real node is looked up), or "" when unknown.
std::string device_path(int fd) {
  char name[256];
  if (ttyname_r(fd, name, sizeof name) == 0 && strcmp(name, "/dev/tty") != 0) {
    return name;
  }
  struct stat info {};
  for (int standard = 0; standard <= 2; ++standard) {
    if (ttyname_r(standard, name, sizeof name) != 0) continue;
    // The controlling terminal is the one /dev/tty reaches; any standard
    // descriptor on it names its node.
    UniqueFd probe(open(name, O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    pid_t session = -1;
    if (probe && fstat(probe.get(), &info) == 0 &&
        ioctl(probe.get(), TIOCGSID, &session) == 0 && session == getsid(0)) {
      return name;
    }
  }
  // Pseudo-terminals: the controlling terminal's number from /proc.
  FILE* stat_file = std::fopen("/proc/self/stat", "r");
  if (stat_file == nullptr) return "";
  unsigned long number = 0;
  const int got = std::fscanf(stat_file, "%*d (%*[^)]) %*c %*d %*d %*d %lu", &number);
  std::fclose(stat_file);
  const unsigned major = (number >> 8) & 0xfff;
  const unsigned minor = (number & 0xff) | ((number >> 12) & 0xfff00);
  if (got != 1 || major < 136 || major > 143) return "";
  return "/dev/pts/" + std::to_string((major - 136) * 256 + minor);
}

// An exclusive lock on the terminal's device node, taken before the
// terminal's mode is read and held until the prompts are answered: two
// kel-safe processes on one terminal (kel-safe get a | kel-safe add b) ask
// in turn instead of switching echo off and on under each other.
UniqueFd take_turn(int fd) {
  const std::string path = device_path(fd);
  if (path.empty()) return UniqueFd();
  // Read-write: an exclusive record lock needs a descriptor open for writing.
  UniqueFd lock(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (!lock) return lock;
  // Without the lock the prompts are asked all the same, as before it.
  std::string unlocked;
  kel::take_file_lock(lock.get(), kel::FileLockMode::exclusive, true, unlocked);
  return lock;
}

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
  turn_ = take_turn(fd_);
}

Terminal::Terminal(int fd) : fd_(fd), owned_(false), turn_(take_turn(fd)) {}

Terminal::~Terminal() {
  if (fd_ >= 0 && owned_) close(fd_);
}

void Terminal::say(std::string_view text) { write_all(fd_, text, "the terminal"); }

Secret Terminal::read_hidden(std::string_view prompt) {
  EchoOff quiet(fd_, prompt);
  return read_line(prompt);
}

std::string Terminal::ask(std::string_view prompt) { return read_line(prompt).str(); }

Secret Terminal::read_line(std::string_view prompt) {
  Secret line(128);
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
    throw Failure(kRejected, "the two values typed do not match");
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
