// The client side of the agent: finding its socket, checking that it serves
// the same store file, and running a command through it. Commands that read
// or write the caller's files, use its terminal or run its programs never go
// to the agent: they run here, as without an agent.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <charconv>
#include <functional>
#include <memory>

#include "agent.h"
#include "command_table.h"
#include "framing.h"
#include "status.h"
#include "streams.h"

namespace kel::tool {

bool has_option(const std::vector<std::string>& words,
                std::initializer_list<const char*> options) {
  for (std::size_t i = 1; i < words.size() && words[i] != "--"; ++i) {
    for (const char* option : options) {
      const std::string_view name(option);
      const std::string_view word(words[i]);
      if (word == name) return true;
      if (name.size() == 2 && word.size() > 2 && word.substr(0, 2) == name)
        return true;
      if (name.size() > 2 &&
          word.substr(0, name.size() + 1) == std::string(name) + "=") {
        return true;
      }
    }
  }
  return false;
}

// Each subcommand's row says whether, and with which words, it may run
// there.
bool agent_may_run(const std::vector<std::string>& words) {
  if (words.empty() || has_option(words, {"-h", "--help"})) return false;
  const CommandRow* row = find_command(words[0]);
  return row != nullptr && row->through_agent != nullptr && row->through_agent(words);
}

namespace {

std::string hex(std::size_t number) {
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, number, 16);
  return std::string(text, end);
}

}  // namespace

std::vector<std::string> without_own_options(
    const std::vector<std::string>& args) {
  std::vector<std::string> words;
  bool ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (ended) {
      words.push_back(arg);
      continue;
    }
    if (arg == "--") ended = true;
    if (arg == "-q" || arg == "--quiet") continue;
    if (arg == "-s" || arg == "--store" || arg == "--password-file" ||
        arg == "--password-fd" || arg == "--identity" || arg == "--key-file") {
      ++i;  // and its value
      continue;
    }
    if (arg.rfind("--store=", 0) == 0 ||
        arg.rfind("--password-file=", 0) == 0 ||
        arg.rfind("--password-fd=", 0) == 0 ||
        arg.rfind("--identity=", 0) == 0 || arg.rfind("--key-file=", 0) == 0 ||
        (arg.size() > 2 && arg.rfind("-s", 0) == 0)) {
      continue;
    }
    words.push_back(arg);
  }
  return words;
}

std::string agent_socket(const std::string& real_path, bool make) {
  const std::string directory = agent_directory(make);
  return directory + "/agent-" + hex(std::hash<std::string>{}(real_path)) +
         ".sock";
}

UniqueFd connect_agent(const std::string& socket_path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof address.sun_path) return UniqueFd();
  memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
  UniqueFd connection(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!connection ||
      connect(connection.get(), reinterpret_cast<const sockaddr*>(&address),
              sizeof address) != 0) {
    return UniqueFd();
  }
  // What answers there must be ours too: a listener of another user (in a
  // runtime folder others can reach) could hand out forged values.
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
      peer.uid != getuid()) {
    return UniqueFd();
  }
  return connection;
}

std::string store_line(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::string();
  // "words": the command follows as word blocks (framing.h). An agent that
  // reads its commands otherwise answers "no", and the client runs the
  // command itself.
  return "store " + std::to_string(info.st_dev) + " " +
         std::to_string(info.st_ino) + " words";
}

bool agent_serves(int connection, const std::string& path,
                  std::string_view ahead) {
  std::string line = store_line(path);
  if (line.empty()) return false;
  try {
    line += '\n';
    line += ahead;
    write_all(connection, line, "the agent");
    wipe(line);
    char answer[3] = {};
    std::size_t got = 0;
    while (got < sizeof answer) {
      const ssize_t n = read(connection, answer + got, sizeof answer - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      got += static_cast<std::size_t>(n);
    }
    return std::string_view(answer, 3) == "ok\n";
  } catch (const Failure&) {
    return false;
  }
}

bool read_frame(int connection, int& status, Secret& output,
                std::string& notes) {
  Input input(connection);
  const auto number =
      [&input](std::string_view word) -> std::optional<std::size_t> {
    std::optional<Secret> line = input.line();
    if (!line ||
        line->view().substr(0, word.size() + 1) != std::string(word) + " ") {
      return std::nullopt;
    }
    const std::string_view digits = line->view().substr(word.size() + 1);
    std::size_t value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size())
      return std::nullopt;
    return value;
  };
  try {
    const auto code = number("status");
    if (!code) return false;
    const auto length = number("length");
    if (!length) return false;
    output = input.block(*length);
    const auto notes_length = number("notes");
    if (!notes_length) return false;
    notes = input.block(*notes_length).str();
    status = static_cast<int>(*code);
    return true;
  } catch (const Failure&) {
    return false;
  }
}

std::optional<int> agent_exchange(const Context& context, const std::vector<std::string>& words,
                                  const std::function<Secret()>& value, bool quiet,
                                  Secret& output, std::string& notes) {
  if (words.empty() || context.store.empty()) return std::nullopt;
  // Before anything is sent: a word the request cannot carry is refused
  // here, never cut.
  std::string request = frame_words(words);
  const std::string path = store_file(context.store);
  std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr),
                                              &free);
  if (!real) return std::nullopt;
  std::string socket_path;
  try {
    socket_path = agent_socket(real.get(), false);
  } catch (const Failure&) {
    return std::nullopt;  // no private directory: no agent of ours
  }
  UniqueFd connection = connect_agent(socket_path);
  if (!connection) return std::nullopt;
  // The whole request goes with the store line, in one write and one
  // round trip: an agent that does not serve the store reads no further.
  // Only a value to add waits for its yes, since standard input is read
  // only for an agent that takes it.
  const bool adding = static_cast<bool>(value);
  std::string ahead = quiet ? "quiet\n" : "";
  if (!adding) ahead += request;
  const bool served = agent_serves(connection.get(), real.get(), ahead);
  wipe(ahead);
  if (!served) return std::nullopt;

  // From here on the agent has the command: it runs there or fails there.
  if (adding) {
    const Secret given = value();
    write_all(connection.get(), "value " + std::to_string(given.size()) + "\n",
              "the agent");
    write_all(connection.get(), given.view(), "the agent");
    write_all(connection.get(), request, "the agent");
  }
  wipe(request);
  shutdown(connection.get(), SHUT_WR);
  int status = kInternal;
  if (!read_frame(connection.get(), status, output, notes)) {
    throw Failure(kInternal, words[0] + ": the agent ended without an answer");
  }
  return status;
}

std::optional<int> through_agent(const Context& context,
                                 const std::vector<std::string>& words) {
  if (!agent_may_run(words) || context.store.empty()) return std::nullopt;
  // The agent's output is no terminal: it is told when this one's is.
  std::vector<std::string> sent = words;
  if (sent[0] == "ls" && isatty(1) == 1 && !has_option(sent, {"-N", "--literal"})) {
    sent.insert(sent.begin() + 1, "--escape");
  }
  if (sent[0] == "get" && isatty(1) == 1 && has_option(sent, {"--qr"})) {
    sent.insert(sent.begin() + 1, "--force");
  }
  std::function<Secret()> value;
  if (words[0] == "add") {
    value = [] {
      Secret read;
      read_all(0, read, 0xffffffffu, "standard input");
      return read;
    };
  }
  Secret output;
  std::string notes;
  const std::optional<int> status =
      agent_exchange(context, sent, value, context.quiet, output, notes);
  if (!status) return std::nullopt;
  write_data(output.view());
  if (!notes.empty()) write_all(2, notes, "standard error");
  return status;
}

}  // namespace kel::tool
