#include "tool/run_tool.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <grp.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>
#include <string_view>
#include <utility>

extern char** environ;

namespace kel::test {

namespace {

// A descriptor owned by this function; *fd reads it, -1 once closed.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int operator*() const { return fd_; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

Fd make_fd(int fd) { return Fd(fd); }

struct Pipe {
  Fd read_end;
  Fd write_end;
};

Pipe make_pipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  return {make_fd(ends[0]), make_fd(ends[1])};
}

// What leads the tool to the user's own default store or clipboard.
const std::set<std::string> kNeverInherited{"HOME", "XDG_DATA_HOME", "DISPLAY",
                                            "WAYLAND_DISPLAY"};

std::vector<std::string> child_environment(const ToolRun& run) {
  std::vector<std::string> env;
  for (char** p = environ; *p != nullptr; ++p) {
    const std::string_view entry(*p);
    // A variable the run sets replaces this process's (getenv takes the
    // first of two).
    const std::string name(entry.substr(0, entry.find('=')));
    if (entry.rfind("KEL_SAFE_", 0) != 0 && kNeverInherited.count(name) == 0 &&
        run.env.count(name) == 0) {
      env.emplace_back(entry);
    }
  }
  for (const auto& [name, value] : run.env) env.push_back(name + "=" + value);
  env.insert(env.end(), run.raw_env.begin(), run.raw_env.end());
  return env;
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void become_tool(const ToolRun& run, int in_fd, int out_fd, int err_fd,
                              const std::vector<std::pair<int, int>>& extra,
                              int terminal_fd, char* const* argv, char* const* envp) {
  setsid();
  if (terminal_fd >= 0) ioctl(terminal_fd, TIOCSCTTY, 0);
  // Move everything out of the way of the numbers it must end up on.
  const int in_high = fcntl(in_fd, F_DUPFD, 100);
  const int out_high = fcntl(out_fd, F_DUPFD, 100);
  const int err_high = fcntl(err_fd, F_DUPFD, 100);
  int extra_high[16];
  for (std::size_t i = 0; i < extra.size() && i < 16; ++i) {
    extra_high[i] = fcntl(extra[i].second, F_DUPFD, 100);
  }
  dup2(in_high, 0);
  dup2(out_high, 1);
  dup2(err_high, 2);
  for (std::size_t i = 0; i < extra.size() && i < 16; ++i) {
    dup2(extra_high[i], extra[i].first);
  }
  close(in_high);
  close(out_high);
  close(err_high);
  for (std::size_t i = 0; i < extra.size() && i < 16; ++i) close(extra_high[i]);
  if (run.close_stdout) close(1);
  if (run.umask >= 0) umask(static_cast<mode_t>(run.umask));
  if (run.open_files_limit >= 0) {
    const rlimit limit{static_cast<rlim_t>(run.open_files_limit),
                       static_cast<rlim_t>(run.open_files_limit)};
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (run.file_size_limit >= 0) {
    const rlimit limit{static_cast<rlim_t>(run.file_size_limit),
                       static_cast<rlim_t>(run.file_size_limit)};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (run.drop_root && geteuid() == 0 &&
      (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
    _exit(126);
  }
  signal(SIGPIPE, SIG_DFL);
  execve(argv[0], argv, envp);
  _exit(127);
}

// The tool as another user can start it, wherever the build tree lies: a
// clone inside a folder only its owner may enter (a home of mode 0700, a
// mktemp -d) hides the built program from user 65534. The tool and the
// library it loads are copied once per test process into a fresh folder
// anyone may enter, removed at exit. They lie in its bin/ together: the
// tool finds the library through the $ORIGIN entry of its RUNPATH, and its
// $ORIGIN/../lib entry stays inside the folder, where no one else can
// plant a library.
const std::string& tool_for_other_users() {
  namespace fs = std::filesystem;
  static const TempDir folder;
  static const std::string tool = [] {
    constexpr fs::perms kEveryoneReads = fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read |
                                         fs::perms::others_exec;
    const fs::path bin = folder.path() / "bin";
    fs::create_directory(bin);
    const fs::path copy = bin / fs::path(tool_path()).filename();
    // The library under the name the tool asks the loader for.
    const fs::path library = bin / KEL_SAFE_LIBRARY_SONAME;
    fs::copy_file(tool_path(), copy);
    fs::copy_file(KEL_SAFE_LIBRARY_PATH, library);
    for (const fs::path& path : {folder.path(), bin, copy, library}) {
      fs::permissions(path, kEveryoneReads);
    }
    return copy.string();
  }();
  return tool;
}

}  // namespace

std::string tool_path() { return KEL_SAFE_TOOL_PATH; }

bool have_pseudo_terminals() {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return false;
  close(master);
  close(slave);
  return true;
}

ToolResult run_tool(const ToolRun& run) {
  const bool as_other_user = run.drop_root && geteuid() == 0;
  std::vector<std::string> arg_strings{
      !run.program.empty() ? run.program
                           : as_other_user ? tool_for_other_users() : tool_path()};
  arg_strings.insert(arg_strings.end(), run.args.begin(), run.args.end());
  std::vector<char*> argv;
  for (auto& a : arg_strings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_strings = child_environment(run);
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);

  Pipe in = make_pipe();
  Pipe out = make_pipe();
  Pipe err = make_pipe();
  std::vector<Pipe> extra_pipes;
  std::vector<std::pair<int, int>> extra;  // child number, our read end
  for (const auto& [number, bytes] : run.fds) {
    extra_pipes.push_back(make_pipe());
    extra.emplace_back(number, *extra_pipes.back().read_end);
  }
  Fd master = make_fd(-1);
  Fd slave = make_fd(-1);
  if (run.with_terminal) {
    int m = -1, s = -1;
    if (openpty(&m, &s, nullptr, nullptr, nullptr) != 0) {
      throw std::runtime_error("openpty failed");
    }
    master = make_fd(m);
    slave = make_fd(s);
    fcntl(m, F_SETFD, FD_CLOEXEC);
    fcntl(s, F_SETFD, FD_CLOEXEC);
  }
  const bool all_terminal = run.stdio_is_terminal && *slave >= 0;
  const int child_in = run.stdin_is_terminal || all_terminal ? *slave : *in.read_end;
  const int child_out = all_terminal ? *slave : *out.write_end;
  const int child_err = all_terminal ? *slave : *err.write_end;

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    become_tool(run, child_in, child_out, child_err, extra, *slave,
                argv.data(), envp.data());
  }
  in.read_end.reset();
  out.write_end.reset();
  err.write_end.reset();
  // The slave side stays open here until the end: a child that opens and
  // closes /dev/tty would otherwise hang the terminal up between prompts.
  for (auto& p : extra_pipes) p.read_end.reset();

  // Extra descriptors carry short texts: a pipe buffer holds them whole.
  for (std::size_t i = 0; i < extra_pipes.size(); ++i) {
    const std::string& bytes = std::next(run.fds.begin(), static_cast<long>(i))->second;
    if (write(*extra_pipes[i].write_end, bytes.data(), bytes.size()) !=
        static_cast<ssize_t>(bytes.size())) {
      throw std::runtime_error("writing a descriptor's text failed");
    }
    extra_pipes[i].write_end.reset();
  }

  ToolResult result;
  std::size_t input_done = 0;
  std::size_t step = 0;
  std::size_t seen = 0;  // terminal text already matched
  if (child_in == *slave || run.input.empty()) in.write_end.reset();
  if (*in.write_end >= 0) fcntl(*in.write_end, F_SETFL, O_NONBLOCK);
  // A guard against a hung child, not a measurement.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool out_open = true, err_open = true, term_open = *master >= 0;
  int status = 0;
  bool reaped = false;
  // On a terminal only, the child's end is seen by waiting for it: this
  // side keeps the terminal open.
  while (all_terminal ? !reaped : (out_open || err_open)) {
    if (all_terminal && waitpid(pid, &status, WNOHANG) == pid) reaped = true;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      break;
    }
    std::vector<pollfd> polls;
    if (out_open) polls.push_back({*out.read_end, POLLIN, 0});
    if (err_open) polls.push_back({*err.read_end, POLLIN, 0});
    if (term_open) polls.push_back({*master, POLLIN, 0});
    if (*in.write_end >= 0) polls.push_back({*in.write_end, POLLOUT, 0});
    if (poll(polls.data(), polls.size(), 200) < 0 && errno != EINTR) break;
    for (const pollfd& p : polls) {
      if (p.revents == 0) continue;
      if (p.fd == *in.write_end) {
        const ssize_t n = write(p.fd, run.input.data() + input_done,
                                run.input.size() - input_done);
        if (n > 0) input_done += static_cast<std::size_t>(n);
        if (n < 0 && errno != EAGAIN && errno != EINTR) input_done = run.input.size();
        if (input_done == run.input.size()) in.write_end.reset();
        continue;
      }
      char buffer[65536];
      const ssize_t n = read(p.fd, buffer, sizeof buffer);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        if (p.fd == *out.read_end) out_open = false;
        if (p.fd == *err.read_end) err_open = false;
        if (p.fd == *master) term_open = false;  // EIO once the child is gone
        continue;
      }
      if (p.fd == *out.read_end) result.out.append(buffer, static_cast<std::size_t>(n));
      if (p.fd == *err.read_end) result.err.append(buffer, static_cast<std::size_t>(n));
      if (p.fd == *master) {
        result.terminal.append(buffer, static_cast<std::size_t>(n));
      }
    }
    while (step < run.dialogue.size()) {
      const std::size_t at = result.terminal.find(run.dialogue[step].first, seen);
      if (at == std::string::npos) break;
      seen = at + run.dialogue[step].first.size();
      if (run.at_prompt) run.at_prompt(step, pid, *master);
      const std::string& typed = run.dialogue[step].second;
      if (write(*master, typed.data(), typed.size()) != static_cast<ssize_t>(typed.size())) {
        throw std::runtime_error("typing on the terminal failed");
      }
      ++step;
    }
  }
  if (!reaped) waitpid(pid, &status, 0);
  if (*master >= 0) {
    struct termios mode {};
    result.echo_after = tcgetattr(*master, &mode) == 0 && (mode.c_lflag & ECHO) != 0;
  }
  if (term_open) {
    // Whatever the child left on the terminal after its pipes closed.
    fcntl(*master, F_SETFL, O_NONBLOCK);
    char buffer[4096];
    ssize_t n;
    while ((n = read(*master, buffer, sizeof buffer)) > 0) {
      result.terminal.append(buffer, static_cast<std::size_t>(n));
    }
  }
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  // In the sanitizer build the tool is instrumented too: any report it made
  // fails the test, whatever the checks on its output say.
  if (result.err.find("Sanitizer") != std::string::npos ||
      result.err.find("runtime error:") != std::string::npos) {
    ADD_FAILURE() << "kel-safe reported a sanitizer error:\n" << result.err;
  }
  if (result.signal != 0) ADD_FAILURE() << "kel-safe died of signal " << result.signal;
  // 126 and 127 come from the child before exec: the tool never ran.
  if (as_other_user && (result.status == 126 || result.status == 127)) {
    ADD_FAILURE() << arg_strings[0] << " could not be started as user 65534 (status "
                  << result.status << ")";
  }
  return result;
}

int run_traced(const std::vector<std::string>& args,
               const std::function<bool(pid_t child)>& reached,
               const std::function<void(pid_t child)>& at) {
  const std::string program = tool_path();
  std::vector<char*> argv = {const_cast<char*>("kel-safe")};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    const int null_fd = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) dup2(null_fd, fd);
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    raise(SIGSTOP);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  bool traced = true;
  while (waitpid(child, &status, 0) == child && WIFSTOPPED(status)) {
    if (traced && reached(child)) {
      at(child);
      traced = false;
      ptrace(PTRACE_DETACH, child, nullptr, nullptr);
    } else {
      ptrace(PTRACE_SYSCALL, child, nullptr, nullptr);
    }
  }
  return status;
}

bool has_open(pid_t pid, const std::string& path) {
  std::error_code failed;
  const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& fd : std::filesystem::directory_iterator(fds, failed)) {
    if (std::filesystem::read_symlink(fd.path(), failed) == path) return true;
  }
  return false;
}

}  // namespace kel::test
