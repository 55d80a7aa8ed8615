// The user's terminal: reading a password or value without echo, and the
// progress bar shown on standard error during long transfers.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "secret.h"
#include "streams.h"

namespace kel::tool {

// The controlling terminal (/dev/tty), opened for one prompt or more. While
// it exists this process holds the terminal's lock: prompts of several
// kel-safe processes on one terminal take turns.
class Terminal {
 public:
  // Throws a Failure (kUsage) naming `needed_for` when the process has no
  // controlling terminal.
  explicit Terminal(std::string_view needed_for);
  // A terminal the process was handed as a descriptor (kept open).
  explicit Terminal(int fd);
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // Shows `prompt`, reads one line with echo off and returns it without its
  // line end. Echo is restored afterwards, also when the process is
  // interrupted by a signal while it waits.
  Secret read_hidden(std::string_view prompt);
  // Shows `prompt` and reads one line with echo on, for answers that are
  // not secret (yes or no).
  std::string ask(std::string_view prompt);
  // Asks twice and insists that both answers match (a Failure of kRejected
  // otherwise).
  Secret read_confirmed(std::string_view prompt, std::string_view again);
  void say(std::string_view text);

 private:
  Secret read_line(std::string_view prompt);

  int fd_ = -1;
  bool owned_ = true;
  UniqueFd turn_;  // the lock that makes prompts on one terminal take turns
};

// True when there is a controlling terminal to prompt on.
bool have_terminal();

// Progress of a transfer, drawn on standard error when that is a terminal,
// and only once the transfer has taken a second: short ones stay silent.
class ProgressBar {
 public:
  explicit ProgressBar(std::string label);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // The kel::Progress callback; never throws.
  void update(std::uint64_t done, std::uint64_t total) noexcept;
  // Ends the bar's line if one was drawn.
  void finish() noexcept;

 private:
  void draw(std::uint64_t done, std::uint64_t total) noexcept;

  std::string label_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

// "12.3 MiB" and the like.
std::string human_size(double bytes);

}  // namespace kel::tool
