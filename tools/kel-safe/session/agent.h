// The agent: `kel-safe agent start` opens a store once and leaves a process
// in the background that serves the tool's commands for that store to the
// same user, so that further kel-safe commands need no password and build
// no index. It listens on a Unix socket (mode 0600) in a private directory:
// $XDG_RUNTIME_DIR/kel-safe, else $TMPDIR/kel-safe-UID or, when someone
// else took that name, a random one beside it (0700, ours, not a link).
// Every connection is checked to come from the same uid. The requests and
// answers use the batch framing (framing.h), the command's words as
// blocks.
#pragma once

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "streams.h"

namespace kel::tool {

// agent start: opens the store (the password asked here) and leaves a
// process in the background that serves it until it was not used for
// `timeout` (a duration, "0": never). Returns the exit status.
int start_agent(const Context& context, const std::string& timeout);
// agent stop | status (`what`): asks the agent of the store, and tells
// when none serves it (exit 1).
int ask_agent(const Context& context, const std::string& what);

// Whether a word of `words` before "--" (the first, the subcommand, left
// out) is one of `options`, also as -oVALUE or --option=VALUE.
bool has_option(const std::vector<std::string>& words,
                std::initializer_list<const char*> options);

// The client side (agent_client.cpp). When an agent serves the store file
// (the same device and inode) and the command `words` (a subcommand and its
// arguments, without kel-safe's own options) can run there, runs it through
// the agent: its output and notes are written here, and its exit status
// returned. nullopt when no agent serves the store or the command touches
// the caller's files, terminal or programs: the caller runs it itself.
std::optional<int> through_agent(const Context& context,
                                 const std::vector<std::string>& words);

// Runs `words` in the agent that serves the store, for this process's own
// use (edit reads and stores a value so): the output and the notes come
// back in `output` and `notes` instead of being written. `value`, when
// given, is called once the agent said it serves the store, and what it
// returns goes as the value of an add. `quiet`: the agent keeps its notes
// of success to itself. nullopt when no agent serves the store. Unlike
// through_agent, it does not ask the command table whether the words may
// run there: the agent does, and the caller made the words.
std::optional<int> agent_exchange(const Context& context, const std::vector<std::string>& words,
                                  const std::function<Secret()>& value, bool quiet,
                                  Secret& output, std::string& notes);

// Whether `words` may run in the agent: nothing in them names a file of the
// caller's, reads its standard input or terminal, or starts a program. The
// client asks before it sends a command, and the agent again before it runs
// one.
bool agent_may_run(const std::vector<std::string>& words);

// `args` without the options of kel-safe itself (-s, --password-file,
// --password-fd, --identity, --key-file, -q), which may stand before or
// after the subcommand.
std::vector<std::string> without_own_options(
    const std::vector<std::string>& args);

// The private directory of this user's agents' sockets (see
// agent_directory.cpp for where it is); made when `make` is set. Throws a
// Failure (kFileError) when there is none to be had, naming what to set.
std::string agent_directory(bool make);

// The socket of the agent for the store file `real_path` (links resolved).
// Makes the private directory when `make` is set. Throws a Failure
// (kFileError) when the directory is not private to this user.
std::string agent_socket(const std::string& real_path, bool make);

// A connection to the agent at `socket`; an empty UniqueFd when none
// listens there, or when what listens is not this user's.
UniqueFd connect_agent(const std::string& socket);

// The first line of a request (without its line end) naming the store
// file `path` by device and inode; empty when the file cannot be examined.
std::string store_line(const std::string& path);

// Sends the store line of a request, and `ahead` (more of the request)
// with it, and reads the agent's answer to the store line: true when the
// agent serves the file `path` (same device and inode). An agent that
// answers no reads nothing of `ahead`.
bool agent_serves(int connection, const std::string& path,
                  std::string_view ahead = {});

// Reads one result frame from `connection` into its parts; false when the
// connection ended before a whole frame came.
bool read_frame(int connection, int& status, Secret& output,
                std::string& notes);

}  // namespace kel::tool
