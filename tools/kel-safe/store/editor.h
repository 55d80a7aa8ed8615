// The user's editor, run on a file as git and pass run it: the command in
// $VISUAL, else $EDITOR, else vi, given to sh so that it may hold
// arguments ("code -w"), the file as its one argument after them. No
// value ever goes on its command line.
//
// While it runs, SIGINT, SIGTERM and SIGHUP to the tool do not end the
// tool at once: it ends the editor first, so that its caller can remove
// the plain text, and then the signal ends the tool (HeldSignals).
#pragma once

#include <signal.h>

#include <string>

namespace kel::tool {

// Blocks SIGINT, SIGTERM, SIGHUP and SIGCHLD while it lives, and puts the
// earlier mask back when it goes: a signal that came meanwhile is then
// delivered. raise_ending() first makes the one that ended an editor
// (EditorRun::ending_signal) end the process as it would have.
class HeldSignals {
 public:
  HeldSignals();
  ~HeldSignals();
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

  const sigset_t& before() const { return before_; }
  // Puts the earlier mask back, then raises `signal` with its default
  // action. Returns when that does not end the process.
  void raise_ending(int signal);

 private:
  sigset_t before_;
  bool restored_ = false;
};

// The command line of the editor: $VISUAL, else $EDITOR, else "vi" (an
// empty variable counts as unset).
std::string editor_command();

struct EditorRun {
  int status = -1;        // the editor's exit status; -1 when it did not exit
  int killed_by = 0;      // the signal that ended the editor, if one did
  int ending_signal = 0;  // a signal to the tool that ended the edit, if one did
};

// Runs `command` on `file` with the tool's standard streams and waits for
// it. `held` must be alive: the editor gets the mask from before it. A
// SIGINT typed on the terminal goes to the editor as well, which decides
// what it means; one sent to the tool alone, and any SIGTERM or SIGHUP,
// ends the editor (SIGTERM, then SIGKILL after a few seconds) and is
// reported in `ending_signal`. Throws a Failure (kInternal) when no shell
// can be started.
EditorRun run_editor(const std::string& command, const std::string& file,
                     const HeldSignals& held);

}  // namespace kel::tool
