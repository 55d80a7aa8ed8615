#include "session.h"

#include <unistd.h>

#include <charconv>

#include "command_line.h"
#include "status.h"
#include "streams.h"

namespace kel::tool {

Session::Session(const Context& context) : context_(context) {
  context_.session = nullptr;
  context_.session_value = nullptr;
}

void Session::unlock() {
  if (!safe_) safe_ = open_safe(context_, "shell");
}

void Session::lock() { safe_.reset(); }

int Session::run(const std::vector<std::string>& words,
                 std::function<Secret(const std::string&)> session_value,
                 bool quiet) {
  if (words.size() == 1 && words[0] == "lock") {
    lock();
    if (!context_.quiet) note("locked: the next command asks for the password");
    return kOk;
  }
  try {
    require_store(context_);
    unlock();
  } catch (const Failure& failure) {
    note(failure.what());
    return failure.status();
  }
  Context line = context_;
  line.session = safe_.get();
  line.session_value = std::move(session_value);
  line.quiet = line.quiet || quiet;
  return run_command_line(line, words, CommandLineMode::session);
}

bool is_exit(const std::vector<std::string>& words) {
  return words.size() == 1 && (words[0] == "exit" || words[0] == "quit");
}

std::chrono::seconds parse_duration(std::string_view text,
                                    std::string_view what) {
  unsigned long long count = 0;
  const char* end = text.data() + text.size();
  const auto [rest, error] = std::from_chars(text.data(), end, count);
  const std::string_view unit(rest, static_cast<std::size_t>(end - rest));
  unsigned long long scale = 0;
  if (unit.empty() || unit == "s") scale = 1;
  if (unit == "m") scale = 60;
  if (unit == "h") scale = 3600;
  constexpr unsigned long long kLongest = 7ULL * 24 * 3600;  // a week
  if (error != std::errc() || rest == text.data() || scale == 0 ||
      count > kLongest / scale) {
    throw Failure(
        kUsage,
        std::string(what) + ": " + quoted(text) +
            " is not a duration such as 90s, 5m or 1h (at most a week)");
  }
  return std::chrono::seconds(count * scale);
}

namespace {

int run_session(const Context& context, const std::string& timeout) {
  const std::chrono::seconds idle = parse_duration(timeout, "shell --timeout");
  require_store(context);
  Session session(context);
  // One password for the whole session, asked before the first command.
  session.unlock();
  return isatty(0) == 1 ? run_shell(session, idle) : run_batch(session);
}

}  // namespace

void add_shell_command(CLI::App& app, const Context& context,
                       Subcommands& into) {
  auto timeout = std::make_shared<std::string>("5m");
  CLI::App* shell = app.add_subcommand(
      "shell",
      "Ask for the password once, then run many commands on the store: "
      "interactive on a terminal, a batch of framed results otherwise "
      "(see kel-safe(1))");
  shell
      ->add_option(
          "--timeout", *timeout,
          "Lock after this long without a command (default 5m; 0: never); "
          "the next command asks for the password again")
      ->type_name("DURATION");
  into.push_back(
      {shell, [&context, timeout] { return run_session(context, *timeout); }});
}

}  // namespace kel::tool
