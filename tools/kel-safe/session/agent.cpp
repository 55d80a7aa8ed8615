// The agent process: started by `kel-safe agent start`, it holds one open
// store and serves the tool's commands for it on a Unix socket until its
// idle time runs out, `agent stop`, or its socket goes (the runtime
// directory is removed at logout). It asks for no password after its start:
// when the store's password is changed by another process it exits, since
// the header it opened no longer stands for the store.
#include "agent.h"

#include <errno.h>
#include <fcntl.h>
#include <kel/diagnostics.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <vector>

#include "framing.h"
#include "password.h"
#include "session.h"
#include "status.h"
#include "streams.h"

namespace kel::tool {

namespace {

using Clock = std::chrono::steady_clock;

// How long a client has to send its whole request. A client sends it at
// once, after reading a value to add from its own standard input.
constexpr std::chrono::seconds kRequestTime{10};

volatile sig_atomic_t g_stop = 0;
void on_stop_signal(int) { g_stop = 1; }

class Agent {
 public:
  Agent(Session& session, std::string store, std::string socket,
        std::chrono::seconds idle)
      : session_(session),
        store_(std::move(store)),
        socket_(std::move(socket)),
        idle_(idle) {}

  // Binds the socket (mode 0600); false when another agent listens there.
  bool listen_now() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_.size() >= sizeof address.sun_path) {
      throw Failure(kFileError, "agent: the socket path " +
                                    tool::quoted(socket_) + " is too long");
    }
    memcpy(address.sun_path, socket_.c_str(), socket_.size() + 1);
    if (connect_agent(socket_)) return false;
    unlink(socket_.c_str());  // a socket left by an agent that died
    listener_ = UniqueFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const mode_t old_mask = umask(0177);
    const int bound =
        listener_
            ? bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address),
                   sizeof address)
            : -1;
    umask(old_mask);
    if (bound != 0 || chmod(socket_.c_str(), 0600) != 0 ||
        listen(listener_.get(), 16) != 0) {
      throw Failure(kFileError, "agent: cannot listen on " +
                                    tool::quoted(socket_) + ": " +
                                    strerror(errno));
    }
    struct stat info {};
    lstat(socket_.c_str(), &info);
    socket_inode_ = info.st_ino;
    return true;
  }

  void serve() {
    last_use_ = Clock::now();
    while (!g_stop && !expired() && still_ours() &&
           !session_.store_replaced()) {
      pollfd ready{listener_.get(), POLLIN, 0};
      if (poll(&ready, 1, 1000) <= 0) continue;
      UniqueFd connection(
          accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!connection) continue;
      // Only the user who started the agent; the socket's mode says so
      // too, but a descriptor can be handed on.
      ucred peer{};
      socklen_t size = sizeof peer;
      if (getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) !=
              0 ||
          peer.uid != getuid()) {
        continue;
      }
      // A client that stops halfway, or sends its request slowly, holds the
      // agent (and every client behind it) up for kRequestTime at most.
      const timeval limit{10, 0};
      setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, &limit,
                 sizeof limit);
      setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, &limit,
                 sizeof limit);
      try {
        if (answer(connection.get())) break;
      } catch (const Failure&) {
        // The client went away; the next one is served.
      }
      last_use_ = Clock::now();
    }
    if (still_ours()) unlink(socket_.c_str());
    session_.lock();
  }

 private:
  bool expired() const {
    return idle_.count() > 0 && Clock::now() - last_use_ >= idle_;
  }

  bool still_ours() const {
    struct stat info {};
    return lstat(socket_.c_str(), &info) == 0 && info.st_ino == socket_inode_;
  }

  std::string status_text() const {
    std::string text =
        "agent " + std::to_string(getpid()) + " serves " + tool::quoted(store_);
    if (idle_.count() == 0) return text + " until stopped\n";
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(
        idle_ - (Clock::now() - last_use_));
    const std::time_t at = std::time(nullptr) + left.count();
    char when[64];
    std::tm utc{};
    gmtime_r(&at, &utc);
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return text + "; it locks at " + when + " (in " +
           std::to_string(left.count()) + "s without use)\n";
  }

  // Serves one request; true when the agent is to stop.
  bool answer(int connection) {
    Input input(connection);
    // The whole request, not each read of it: a byte now and then would
    // otherwise keep the others waiting for ever.
    input.set_deadline(Clock::now() + kRequestTime);
    std::optional<Secret> line = input.line();
    const std::string expected = store_line(store_);
    if (!line || expected.empty() || line->view() != expected) {
      write_all(connection, "no\n", "the client");
      return false;
    }
    // Another password, or another store in the file's place: the key held
    // here is not the file's. The client runs the command itself, and the
    // agent ends.
    if (session_.store_replaced()) {
      write_all(connection, "no\n", "the client");
      return true;
    }
    write_all(connection, "ok\n", "the client");
    bool quiet = false;
    std::optional<Secret> value;
    std::vector<std::string> words;
    for (;;) {
      line = input.line();
      // A request cut short, or one no client of ours sends, is dropped
      // unanswered: nothing of it runs.
      if (!line) return false;
      if (line->view() == "run") break;
      if (line->view() == "quiet") {
        quiet = true;
      } else if (const auto length = value_header(line->view())) {
        value = input.block(*length);
      } else if (const auto size = word_header(line->view())) {
        words.emplace_back(input.block(*size).view());
      } else {
        return false;
      }
    }
    std::string notes;
    int status = kOk;
    bool stop = false;
    {
      OutputRedirect redirect(capture_.fd(), &notes);
      try {
        if (words == std::vector<std::string>{"agent", "status"}) {
          write_data(status_text());
        } else if (words == std::vector<std::string>{"agent", "stop"}) {
          stop = true;
          note("stopped the agent of " + tool::quoted(store_));
        } else if (!agent_may_run(words)) {
          // A client of ours never sends these; the caller's paths mean
          // nothing here.
          throw Failure(kUsage, (words.empty() ? std::string("?") : words[0]) +
                                    ": not served by the agent");
        } else {
          status = session_.run(
              words,
              [&value](const std::string& name) {
                if (!value)
                  throw Failure(kUsage,
                                "add " + tool::quoted(name) + ": no value");
                Secret taken = std::move(*value);
                value.reset();
                return taken;
              },
              quiet);
        }
      } catch (const Failure& failure) {
        note(failure.what());
        status = failure.status();
      }
    }
    write_frame(connection, status, capture_.take().view(), notes);
    return stop || session_.locked();
  }

  Session& session_;
  std::string store_;
  std::string socket_;
  std::chrono::seconds idle_;
  UniqueFd listener_;
  ino_t socket_inode_ = 0;
  Clock::time_point last_use_ = Clock::now();
  Capture capture_;
};

// Closes every descriptor above 2 but those in `keep` (negative ones are
// ignored). Called before the store is opened: what is open then came from
// the starter, and the descriptors the library opens afterwards for the
// store stay the agent's.
void close_inherited(std::vector<int> keep) {
  keep.erase(std::remove_if(keep.begin(), keep.end(), [](int fd) { return fd <= 2; }),
             keep.end());
  std::sort(keep.begin(), keep.end());
  unsigned from = 3;
  for (const int fd : keep) {
    const unsigned kept = static_cast<unsigned>(fd);
    if (kept > from) close_range(from, kept - 1, 0);
    from = std::max(from, kept + 1);
  }
  close_range(from, ~0U, 0);
}

// The store's file with links resolved, from wherever the agent runs.
std::string real_path_of(const Context& context) {
  const std::string path = store_file(context.store);
  std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr),
                                              &free);
  if (!real)
    throw Failure(kStoreError, "agent: cannot use " + tool::quoted(path) +
                                   ": " + strerror(errno));
  return real.get();
}

}  // namespace

int start_agent(const Context& context, const std::string& timeout) {
  const std::chrono::seconds idle =
      parse_duration(timeout, "agent start --timeout");
  require_store(context);
  Context agent_context = context;
  agent_context.store = real_path_of(context);  // the agent works from "/"
  const std::string socket = agent_socket(agent_context.store, true);
  if (UniqueFd other = connect_agent(socket)) {
    throw Failure(kExists, "agent: an agent serves " +
                               tool::quoted(agent_context.store) +
                               " already (kel-safe agent stop ends it)");
  }
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    throw Failure(kInternal,
                  std::string("agent: cannot start: ") + strerror(errno));
  }
  UniqueFd ready_read(ready[0]);
  UniqueFd ready_write(ready[1]);
  // The store is opened in the agent itself, after the fork: locks on
  // memory are not inherited, and the key held for the agent's whole life
  // must stay in locked pages.
  const pid_t pid = fork();
  if (pid < 0)
    throw Failure(kInternal,
                  std::string("agent: cannot start: ") + strerror(errno));
  if (pid > 0) {
    ready_write.reset();
    char byte = 0;
    ssize_t n;
    while ((n = read(ready_read.get(), &byte, 1)) < 0 && errno == EINTR) {
    }
    forget_password_environment();
    if (n == 1 && byte != 'R') {
      // The agent said why it did not start on standard error itself, and
      // ends right after this byte.
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      return static_cast<unsigned char>(byte);
    }
    if (n != 1) throw Failure(kInternal, "agent: the agent did not start");
    if (!context.quiet) {
      note("agent " + std::to_string(pid) + " serves " +
           tool::quoted(agent_context.store) +
           // The parsed length, in seconds: a bare number means seconds.
           (idle.count() > 0 ? " until " + std::to_string(idle.count()) + "s without use"
                             : std::string()) +
           " (kel-safe agent stop ends it)");
    }
    return kOk;
  }
  ready_read.reset();
  // Descriptors the starter inherited (the caller's pipes, files, sockets)
  // are not the agent's to keep open. Only the password's descriptor is
  // kept until the password is read.
  const int password_fd = context.passwords.fd;
  close_inherited({ready_write.get(), password_fd});
  // Tells the starter the status it exits with, and ends.
  const auto give_up = [&ready_write](int status) {
    const char byte = static_cast<char>(status);
    write_all(ready_write.get(), std::string_view(&byte, 1), "the starter");
    _exit(status);
  };
  Session session(agent_context, /*ask_again=*/false);
  try {
    // The one password, asked here (on the starter's terminal, which this
    // process still shares); the agent never asks again.
    session.unlock();
  } catch (const Failure& failure) {
    note(failure.what());
    give_up(failure.status());
  }
  forget_password_environment();
  // Still the starter's descriptor: nothing the library opened can have
  // taken its number while it was open.
  if (password_fd > 2) close(password_fd);
  Agent agent(session, agent_context.store, socket, idle);
  // The agent: its own session, no terminal, no working directory held,
  // nothing to say on the caller's streams.
  setsid();
  signal(SIGHUP, on_stop_signal);
  signal(SIGTERM, on_stop_signal);
  signal(SIGINT, on_stop_signal);
  if (chdir("/") != 0) give_up(kInternal);
  try {
    if (!agent.listen_now()) give_up(kExists);
  } catch (const Failure& failure) {
    note(failure.what());
    give_up(failure.status());
  }
  const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int fd = 0; fd <= 2; ++fd) dup2(null_fd, fd);
  if (null_fd > 2) close(null_fd);
  write_all(ready_write.get(), "R", "the starter");
  ready_write.reset();
  agent.serve();
  return kOk;
}

// Sends `agent status` or `agent stop` to the agent of the store.
int ask_agent(const Context& context, const std::string& what) {
  require_store(context);
  const std::string path = real_path_of(context);
  UniqueFd connection;
  try {
    connection = connect_agent(agent_socket(path, false));
  } catch (const Failure&) {
  }
  if (!connection ||
      !agent_serves(connection.get(), path, frame_words({"agent", what}))) {
    if (!context.quiet) note("no agent serves " + tool::quoted(path));
    return kFalse;
  }
  shutdown(connection.get(), SHUT_WR);
  int status = kInternal;
  Secret output;
  std::string notes;
  if (!read_frame(connection.get(), status, output, notes)) {
    throw Failure(kInternal,
                  "agent " + what + ": the agent ended without an answer");
  }
  write_data(output.view());
  if (!context.quiet && !notes.empty()) write_all(2, notes, "standard error");
  if (what == "stop") {
    // Returns once the agent has left its socket.
    for (int wait = 0; wait < 500; ++wait) {
      if (!connect_agent(agent_socket(path, false))) break;
      usleep(10000);
    }
  }
  return status;
}

}  // namespace kel::tool
