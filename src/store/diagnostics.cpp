// The process-wide diagnostic sink. Library code reports through
// detail::diagnostic(); the application may replace the sink at any time.
#include "kel/diagnostics.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <utility>

#include "env/env.h"
#include "store/diagnostic.h"
#include "engine/file/io.h"

namespace kel {

namespace {

std::mutex& sink_mutex() {
  static std::mutex mutex;
  return mutex;
}

// Constructed on first use, so that a diagnostic from a static destructor
// elsewhere still finds it.
Diagnostics& current_sink() {
  static Diagnostics sink = diagnostics_to_stderr;
  return sink;
}

}  // namespace

Diagnostics set_diagnostics(Diagnostics sink) {
  std::lock_guard<std::mutex> guard(sink_mutex());
  return std::exchange(current_sink(), std::move(sink));
}

void diagnostics_to_stderr(std::string_view line) {
  // One write for the line and its end, so that lines of several processes
  // sharing a terminal or log do not interleave mid-line.
  std::string text(line);
  text += '\n';
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = detail::env().write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere to report that reporting failed
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

int last_system_error(int& error_number) {
  const int recorded = io::recorded_error();
  if (recorded == 0) return -1;
  error_number = recorded;
  return 0;
}

namespace detail {

void diagnostic(std::string_view line) noexcept {
  try {
    // A copy taken under the lock lets the sink run without it: a sink that
    // calls set_diagnostics itself does not deadlock.
    Diagnostics sink;
    {
      std::lock_guard<std::mutex> guard(sink_mutex());
      sink = current_sink();
    }
    if (sink) sink(line);
  } catch (...) {
    // A diagnostic must never change the outcome of the call that made it.
  }
}

}  // namespace detail

}  // namespace kel
