// Runs the built kel-safe program as a user would: a child process with its
// own standard input, output and error pipes, an environment of the test's
// choosing, extra inherited descriptors, and optionally a pseudo-terminal as
// its controlling terminal for the password prompts.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kel::test {

struct ToolResult {
  int status = -1;          // exit status; -1 when the child did not exit
  int signal = 0;           // the signal that ended it, if one did
  std::string out;          // everything written on standard output
  std::string err;          // everything written on standard error
  std::string terminal;     // everything shown on the pseudo-terminal
  bool echo_after = false;  // the terminal echoes input after the child ended
};

struct ToolRun {
  std::vector<std::string> args;  // without the program name
  std::string program;             // run this instead of kel-safe
  std::string input;               // fed to standard input, then closed
  // Variables set for the child. The child starts from this process's
  // environment with every KEL_SAFE_* variable removed, and HOME,
  // XDG_DATA_HOME, DISPLAY and WAYLAND_DISPLAY (never the user's own
  // default store or clipboard); these replace its own of the same name.
  std::map<std::string, std::string> env;
  // More entries as they are ("NAME=value"); a name may repeat.
  std::vector<std::string> raw_env;
  // Extra descriptors: child descriptor number -> bytes readable from it.
  std::map<int, std::string> fds;
  bool close_stdout = false;  // start the child with descriptor 1 closed
  int umask = -1;             // umask for the child, -1 to inherit
  long file_size_limit = -1;  // RLIMIT_FSIZE for the child in bytes, -1: none
  long open_files_limit = -1;  // RLIMIT_NOFILE for the child, -1: as this process's
  // Run as user and group 65534 when this process is root, so that file
  // modes bind the child as they bind an ordinary user. The tool then runs
  // from a copy that user can reach wherever the build tree lies; the files
  // it is given are the test's to make reachable.
  bool drop_root = false;
  // A pseudo-terminal as controlling terminal (for /dev/tty prompts): each
  // pair waits for the first text to appear on it, then types the second.
  bool with_terminal = false;
  bool stdin_is_terminal = false;  // standard input is the terminal too
  // Standard input, output and error all are the terminal, as for a person
  // at an interactive session: everything shown is in `terminal`.
  bool stdio_is_terminal = false;
  std::vector<std::pair<std::string, std::string>> dialogue;
  // Called when dialogue step `step`'s text appeared, before its answer is
  // typed: the child is waiting there.
  std::function<void(std::size_t step, pid_t child, int terminal_master)> at_prompt;
};

ToolResult run_tool(const ToolRun& run);

// Runs kel-safe with `args` (standard streams on /dev/null) traced, one
// system call at a time, until `reached(child)` holds at a stop; then calls
// `at(child)` there, with the child stopped, and lets it run on untraced.
// Returns the child's wait status.
int run_traced(const std::vector<std::string>& args,
               const std::function<bool(pid_t child)>& reached,
               const std::function<void(pid_t child)>& at);

// Whether one of the descriptors of process `pid` refers to `path`.
bool has_open(pid_t pid, const std::string& path);

// Whether this machine can make pseudo-terminals at all.
bool have_pseudo_terminals();

// Path of the built program.
std::string tool_path();

}  // namespace kel::test
