#include "editor.h"

#include <errno.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>

#include <memory>
#include <vector>

#include "status.h"

extern char** environ;

namespace kel::tool {

namespace {

sigset_t held_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&set, signal);
  return set;
}

// Whether `child` has ended; its wait status in `status` then.
bool reaped(pid_t child, int& status) {
  while (true) {
    const pid_t got = waitpid(child, &status, WNOHANG);
    if (got == child) return true;
    if (got < 0 && errno == EINTR) continue;
    // ECHILD: reaped already, which only this code does.
    return got < 0;
  }
}

}  // namespace

HeldSignals::HeldSignals() {
  const sigset_t set = held_set();
  pthread_sigmask(SIG_BLOCK, &set, &before_);
}

HeldSignals::~HeldSignals() {
  if (!restored_) pthread_sigmask(SIG_SETMASK, &before_, nullptr);
}

void HeldSignals::raise_ending(int signal) {
  ::signal(signal, SIG_DFL);
  restored_ = true;
  pthread_sigmask(SIG_SETMASK, &before_, nullptr);
  raise(signal);
  // Blocked before this edit began: it stays pending for whoever blocked it.
}

std::string editor_command() {
  for (const char* variable : {"VISUAL", "EDITOR"}) {
    const char* value = getenv(variable);
    if (value != nullptr && value[0] != '\0') return value;
  }
  return "vi";
}

EditorRun run_editor(const std::string& command, const std::string& file,
                     const HeldSignals& held) {
  posix_spawnattr_t attributes;
  if (posix_spawnattr_init(&attributes) != 0) {
    throw Failure(kInternal, "cannot start the editor: out of memory");
  }
  const std::unique_ptr<posix_spawnattr_t, int (*)(posix_spawnattr_t*)> owner(
      &attributes, posix_spawnattr_destroy);
  posix_spawnattr_setsigmask(&attributes, &held.before());
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  // As git runs an editor: the shell splits the command, "$@" is the file.
  // exec: the editor is the child itself, so that a signal the tool hands
  // on reaches it, not a shell that would die and leave it running.
  const std::string script = "exec " + command + " \"$@\"";
  std::vector<const char*> argv{"sh", "-c", script.c_str(), command.c_str(), file.c_str(),
                                nullptr};
  pid_t child = -1;
  const int failed = posix_spawn(&child, "/bin/sh", nullptr, &attributes,
                                 const_cast<char* const*>(argv.data()), environ);
  if (failed != 0) {
    throw Failure(kInternal, std::string("cannot start /bin/sh for the editor: ") +
                                 strerror(failed));
  }

  EditorRun run;
  const sigset_t waited = held_set();
  int status = 0;
  timespec deadline{};  // when the editor is killed outright; set once asked to end
  while (!reaped(child, status)) {
    siginfo_t info{};
    timespec tick{0, 100'000'000};
    const int signal = sigtimedwait(&waited, &info, &tick);
    if (run.ending_signal != 0) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      if (now.tv_sec >= deadline.tv_sec) kill(child, SIGKILL);
    }
    if (signal <= 0 || signal == SIGCHLD) continue;
    // Typed on the terminal, it reached the editor too, which handles it.
    if (signal == SIGINT && info.si_code == SI_KERNEL) continue;
    if (run.ending_signal == 0) {
      run.ending_signal = signal;
      clock_gettime(CLOCK_MONOTONIC, &deadline);
      deadline.tv_sec += 3;
    }
    kill(child, signal == SIGHUP ? SIGHUP : SIGTERM);
  }
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.killed_by = WTERMSIG(status);
  return run;
}

}  // namespace kel::tool
