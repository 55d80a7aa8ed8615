#include "remove_on_signal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <iterator>

namespace kel::tool {

// A node of the list the signal handler walks: made whole before it is
// linked in, so the handler never sees half of one.
struct RemovalPath {
  int at;
  bool directory;
  const RemovalPath* next;
  std::string path;
};

namespace {

std::atomic<const RemovalPath*> g_newest{nullptr};
static_assert(std::atomic<const RemovalPath*>::is_always_lock_free);

// Every signal whose default action ends the process and that can be
// caught. SIGXFSZ is ignored by the tool (a too large file fails the write).
const int kSignals[] = {SIGINT,  SIGTERM, SIGHUP,    SIGQUIT, SIGUSR1, SIGUSR2,
                        SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF, SIGPOLL, SIGPWR,
                        SIGSYS,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE,  SIGILL,
                        SIGSEGV, SIGSTKFLT};
struct sigaction g_previous[std::size(kSignals)];

// Only calls that are safe in a signal handler.
void remove_and_reraise(int sig) {
  for (auto* node = g_newest.load(); node != nullptr; node = node->next) {
    unlinkat(node->at, node->path.c_str(), node->directory ? AT_REMOVEDIR : 0);
  }
  g_newest.store(nullptr);
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

RemoveOnSignal::RemoveOnSignal() {
  struct sigaction action {};
  action.sa_handler = remove_and_reraise;
  sigfillset(&action.sa_mask);
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    sigaction(kSignals[i], &action, &g_previous[i]);
  }
}

RemoveOnSignal::~RemoveOnSignal() {
  clear();
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    sigaction(kSignals[i], &g_previous[i], nullptr);
  }
}

void RemoveOnSignal::add(int at, const std::string& path, bool directory) {
  auto node = std::make_unique<RemovalPath>(RemovalPath{at, directory, g_newest.load(), path});
  g_newest.store(node.get());
  paths_.push_back(std::move(node));
}

void RemoveOnSignal::clear() {
  g_newest.store(nullptr);  // before the nodes go
  paths_.clear();
}

}  // namespace kel::tool
