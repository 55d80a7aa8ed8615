// The interactive `kel-safe shell` on a terminal, with libedit: line
// editing, a history kept in memory only (commands can name secrets, so it
// is never written to a file), and completion of subcommands and stored
// names. After the idle time without a key press the store is locked: the
// key is wiped at once, and the next command asks for the password again.
// Ctrl-C at the prompt cancels the line being typed, as in bash; the
// session, and its open store, stay.
#include <errno.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#include <wchar.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "command_table.h"
#include "libedit.h"
#include "password.h"
#include "session.h"
#include "status.h"
#include "streams.h"
#include "words.h"

namespace kel::tool {

namespace {

using Clock = std::chrono::steady_clock;

// Set by SIGINT while a line is read: the line is dropped.
volatile sig_atomic_t g_interrupted = 0;

void on_interrupt(int) { g_interrupted = 1; }

// SIGINT cancels the line while one is typed. Only then: during a command
// the signal ends the process as it ends the one-shot program (its own
// handlers put the terminal back and remove unfinished output files).
// Installed without SA_RESTART, so that the wait for a key returns.
class InterruptCancelsLine {
 public:
  InterruptCancelsLine() {
    g_interrupted = 0;
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous_);
  }
  ~InterruptCancelsLine() { sigaction(SIGINT, &previous_, nullptr); }
  InterruptCancelsLine(const InterruptCancelsLine&) = delete;
  InterruptCancelsLine& operator=(const InterruptCancelsLine&) = delete;

 private:
  struct sigaction previous_ {};
};

struct ShellState {
  Session& session;
  std::chrono::seconds idle;
  Clock::time_point last_key = Clock::now();
  std::vector<std::string> subcommands;
};

ShellState& state_of(EditLine* editor) {
  void* data = nullptr;
  libedit().el_get(editor, EL_CLIENTDATA, &data);
  return *static_cast<ShellState*>(data);
}

const char* prompt(EditLine* editor) {
  return state_of(editor).session.locked() ? "kel-safe (locked)> "
                                           : "kel-safe> ";
}

// Reads one character for libedit, and locks the store when no key came
// within the idle time: waiting at the prompt is what "idle" means.
int read_character(EditLine* editor, wchar_t* out) {
  ShellState& state = state_of(editor);
  std::mbstate_t shift{};
  for (;;) {
    int wait_ms = -1;
    if (state.idle.count() > 0 && !state.session.locked()) {
      const auto left = state.last_key + state.idle - Clock::now();
      wait_ms = static_cast<int>(std::max<long long>(
          0,
          std::chrono::duration_cast<std::chrono::milliseconds>(left).count() +
              1));
    }
    // SIGINT is let in only while waiting (ppoll), so that one that came
    // since the last look cannot be missed and leave the wait to the idle
    // time: the line is dropped at once.
    sigset_t interrupt;
    sigset_t before;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    sigprocmask(SIG_BLOCK, &interrupt, &before);
    sigset_t waiting = before;
    sigdelset(&waiting, SIGINT);
    int ready = -1;
    if (!g_interrupted) {
      timespec limit{wait_ms / 1000, (wait_ms % 1000) * 1000000L};
      pollfd input{0, POLLIN, 0};
      ready = ppoll(&input, 1, wait_ms < 0 ? nullptr : &limit, &waiting);
    }
    const int wait_error = errno;
    sigprocmask(SIG_SETMASK, &before, nullptr);  // a pending SIGINT lands here
    if (g_interrupted) return -1;  // the caller drops the line
    if (ready < 0 && wait_error == EINTR) continue;
    if (ready == 0) {
      state.session.lock();
      forget_password_environment_at_lock();
      write_all(2, "\n", "standard error");
      note("locked after " + std::to_string(state.idle.count()) +
           "s without input: the next command asks for the password");
      libedit().el_set(editor, EL_REFRESH);
      continue;
    }
    char byte = 0;
    const ssize_t n = read(0, &byte, 1);
    if (g_interrupted) return -1;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0 ? 0 : -1;
    state.last_key = Clock::now();
    const std::size_t used = std::mbrtowc(out, &byte, 1, &shift);
    if (used == static_cast<std::size_t>(-2)) continue;  // more bytes to come
    if (used == static_cast<std::size_t>(-1)) {          // not in the locale
      *out = static_cast<unsigned char>(byte);
      shift = std::mbstate_t{};
    }
    return 1;
  }
}

// A word typed so far, with the shell's quoting undone where it is whole.
std::string typed_word(const std::string& text) {
  try {
    const std::vector<std::string> words = split_words(text);
    return words.empty() ? std::string() : words.front();
  } catch (const Failure&) {
    return text;
  }
}

// Tab: completes the subcommand in the first word, a stored name after it
// (only while the store is open: completion never asks for the password).
unsigned char complete(EditLine* editor, int) {
  ShellState& state = state_of(editor);
  const LineInfo* line = libedit().el_line(editor);
  const std::string before(
      line->buffer, static_cast<std::size_t>(line->cursor - line->buffer));
  const std::size_t blank = before.find_last_of(" \t");
  const std::size_t start = blank == std::string::npos ? 0 : blank + 1;
  const std::string prefix = typed_word(before.substr(start));
  const bool first_word = before.find_first_not_of(" \t") >= start;

  std::vector<std::string> choices;
  if (first_word) {
    choices = state.subcommands;  // lock and exit among them
  } else if (kel::Safe* safe = state.session.safe()) {
    std::string error;
    if (safe->list_entries(choices, error) != 0) choices.clear();
  }
  std::vector<std::string> matches;
  for (std::string& choice : choices) {
    if (choice.compare(0, prefix.size(), prefix) == 0)
      matches.push_back(choice);
    wipe(choice);
  }
  std::sort(matches.begin(), matches.end());
  struct WipeAll {
    std::vector<std::string>& names;
    ~WipeAll() {
      for (std::string& name : names) wipe(name);
    }
  } wipe_matches{matches};
  if (matches.empty()) return CC_ERROR;

  std::size_t common = matches.front().size();
  for (const std::string& match : matches) {
    std::size_t i = 0;
    while (i < common && i < match.size() && match[i] == matches.front()[i])
      ++i;
    common = i;
  }
  if (matches.size() == 1 || common > prefix.size()) {
    // The word is typed again whole, quoted as it needs.
    std::string word = quote_word(matches.front().substr(0, common));
    if (matches.size() == 1) {
      word += ' ';
    } else if (word.back() == '\'') {
      word.pop_back();  // leave the quote open for more letters
    }
    libedit().el_deletestr(editor, static_cast<int>(before.size() - start));
    libedit().el_insertstr(editor, word.c_str());
    wipe(word);
    return CC_REFRESH;
  }
  std::string listing = "\n";
  for (const std::string& match : matches)
    listing += tool::quoted(match) + "  ";
  listing += "\n";
  write_all(1, listing, "standard output");
  wipe(listing);
  return CC_REDISPLAY;
}

struct EditorEnd {
  void operator()(EditLine* editor) const { libedit().el_end(editor); }
};
struct HistoryEnd {
  void operator()(History* history) const { libedit().history_end(history); }
};

}  // namespace

int run_shell(Session& session, std::chrono::seconds idle) {
  // libedit reads characters by the locale; the tool itself treats bytes.
  setlocale(LC_CTYPE, "");
  const Libedit& edit = libedit();
  ShellState state{session, idle, Clock::now(), session_command_names()};
  std::unique_ptr<History, HistoryEnd> history(edit.history_init());
  std::unique_ptr<EditLine, EditorEnd> editor(
      edit.el_init("kel-safe", stdin, stdout, stderr));
  if (!history || !editor)
    throw Failure(kInternal, "shell: cannot set up line editing");
  HistEvent event;
  edit.history(history.get(), &event, H_SETSIZE, 1000);
  edit.history(history.get(), &event, H_SETUNIQUE, 1);
  EditLine* el = editor.get();
  edit.el_set(el, EL_CLIENTDATA, &state);
  edit.el_set(el, EL_EDITOR, "emacs");
  edit.el_set(el, EL_SIGNAL, 1);
  edit.el_set(el, EL_HIST, edit.history, history.get());
  edit.el_set(el, EL_PROMPT, prompt);
  edit.el_set(el, EL_GETCFN, read_character);
  // The wide forms take the names as they are; the narrow ones copy them
  // and never free the copies.
  edit.el_wset(el, EL_ADDFN, L"kel-complete",
          L"Complete a subcommand or a stored name", complete);
  edit.el_wset(el, EL_BIND, L"^I", L"kel-complete", nullptr);

  for (;;) {
    int count = 0;
    const char* typed = nullptr;
    bool interrupted = false;
    {
      InterruptCancelsLine cancel;
      typed = edit.el_gets(el, &count);
      interrupted = g_interrupted != 0;
    }
    if (interrupted) {
      // The next el_gets starts from an empty line.
      write_all(1, "^C\n", "standard output");
      continue;
    }
    if (typed == nullptr || count <= 0) {
      write_all(1, "\n", "standard output");  // end of input (^D) leaves
      break;
    }
    std::string line(typed, static_cast<std::size_t>(count));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    std::vector<std::string> words;
    try {
      words = split_words(line);
    } catch (const Failure& failure) {
      note(failure.what());
      continue;
    }
    if (words.empty()) continue;
    edit.history(history.get(), &event, H_ENTER, line.c_str());
    wipe(line);
    if (is_exit(words)) break;
    session.run(words);
    state.last_key = Clock::now();
    for (std::string& word : words) wipe(word);
  }
  return kOk;
}

}  // namespace kel::tool
