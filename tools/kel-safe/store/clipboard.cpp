#include "clipboard.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <memory>
#include <thread>

#include "entry_selection.h"
#include "status.h"
#include "streams.h"
#include "value_line.h"

extern char** environ;

namespace kel::tool {

namespace {

using Digest = std::array<unsigned char, 32>;

// `program`'s path on PATH, or empty.
std::string on_path(const std::string& program) {
  const char* path = getenv("PATH");
  std::string_view rest = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    const std::size_t colon = rest.find(':');
    std::string folder(rest.substr(0, colon));
    if (folder.empty()) folder = ".";
    const std::string candidate = folder + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string_view::npos) return std::string();
    rest.remove_prefix(colon + 1);
  }
}

bool is_set(const char* variable) {
  const char* value = getenv(variable);
  return value != nullptr && value[0] != '\0';
}

// The clipboard of the programs named `name`, when all of them are on PATH.
bool clipboard_of(const std::string& name, Clipboard& clipboard) {
  std::vector<std::vector<std::string>> words;
  if (name == "wl-copy") {
    // wl-paste ends what it prints with a line end unless told not to.
    words = {{"wl-copy"}, {"wl-paste", "--no-newline"}, {"wl-copy", "--clear"}};
  } else if (name == "xclip") {
    // An empty input owns the selection with nothing in it.
    words = {{"xclip", "-selection", "clipboard"},
             {"xclip", "-o", "-selection", "clipboard"},
             {"xclip", "-selection", "clipboard"}};
  } else if (name == "xsel") {
    words = {{"xsel", "--clipboard", "--input"},
             {"xsel", "--clipboard", "--output"},
             {"xsel", "--clipboard", "--clear"}};
  } else {
    return false;
  }
  for (auto& program : words) {
    program[0] = on_path(program[0]);
    if (program[0].empty()) return false;
  }
  clipboard = {name, std::move(words[0]), std::move(words[1]), std::move(words[2])};
  return true;
}

// Runs `words` with `in` as standard input and `out` as standard output
// (/dev/null for -1), standard error on /dev/null: the programs that serve
// a selection stay behind in the background, and must not hold the
// caller's streams open. Returns the child's id, or -1 with errno set.
pid_t spawn(const std::vector<std::string>& words, int in, int out) {
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  const std::unique_ptr<posix_spawn_file_actions_t, int (*)(posix_spawn_file_actions_t*)>
      owner(&actions, posix_spawn_file_actions_destroy);
  const auto give = [&actions](int fd, int target, int flags) {
    return fd >= 0 ? posix_spawn_file_actions_adddup2(&actions, fd, target)
                   : posix_spawn_file_actions_addopen(&actions, target, "/dev/null", flags, 0);
  };
  if (give(in, 0, O_RDONLY) != 0 || give(out, 1, O_WRONLY) != 0 ||
      give(-1, 2, O_WRONLY) != 0) {
    return -1;
  }
  std::vector<char*> argv;
  for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  pid_t child = -1;
  const int failed = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  if (failed != 0) {
    errno = failed;
    return -1;
  }
  return child;
}

// The exit status of `child`, or -1 when it did not exit.
int exit_status(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

Pipe make_pipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    throw Failure(kInternal, std::string("cannot make a pipe: ") + strerror(errno));
  }
  return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

DigestContext start_digest() {
  DigestContext context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    throw Failure(kInternal, "cannot hash with SHA-256");
  }
  return context;
}

Digest finish_digest(EVP_MD_CTX* context) {
  Digest digest{};
  if (EVP_DigestFinal_ex(context, digest.data(), nullptr) != 1) {
    throw Failure(kInternal, "cannot hash with SHA-256");
  }
  return digest;
}

// The hash of what the clipboard holds; false when it cannot be read.
bool clipboard_digest(const Clipboard& clipboard, Digest& digest) {
  Pipe pipe = make_pipe();
  const pid_t child = spawn(clipboard.paste, -1, pipe.write_end.get());
  pipe.write_end.reset();
  if (child < 0) return false;
  DigestContext context = start_digest();
  std::array<char, 4096> block;
  bool read_all = true;
  while (true) {
    const ssize_t n = read(pipe.read_end.get(), block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      read_all = n == 0;
      break;
    }
    EVP_DigestUpdate(context.get(), block.data(), static_cast<std::size_t>(n));
  }
  // What someone else copied is theirs: not left in this process either.
  wipe(block.data(), block.size());
  pipe.read_end.reset();
  if (exit_status(child) != 0 || !read_all) return false;
  digest = finish_digest(context.get());
  return true;
}

}  // namespace

Clipboard find_clipboard(const std::string& what) {
  Clipboard clipboard;
  const bool wayland = is_set("WAYLAND_DISPLAY");
  const bool x = is_set("DISPLAY");
  if (wayland && clipboard_of("wl-copy", clipboard)) return clipboard;
  if (x && (clipboard_of("xclip", clipboard) || clipboard_of("xsel", clipboard))) {
    return clipboard;
  }
  if (!wayland && !x) {
    throw Failure(kUsage, what +
                              ": no display to hold a clipboard: neither WAYLAND_DISPLAY nor "
                              "DISPLAY is set (without --clip the value is printed)");
  }
  std::string wanted;
  if (wayland) wanted = "wl-copy and wl-paste (wl-clipboard)";
  if (x) wanted += std::string(wanted.empty() ? "" : ", or ") + "xclip or xsel";
  throw Failure(kUsage, what + ": no clipboard program: --clip needs " + wanted + " on PATH");
}

void copy_to_clipboard(const Clipboard& clipboard, std::string_view value,
                       const std::string& what) {
  Pipe pipe = make_pipe();
  const pid_t child = spawn(clipboard.copy, pipe.read_end.get(), -1);
  pipe.read_end.reset();
  if (child < 0) {
    throw Failure(kFileError, what + ": cannot start " + quoted(clipboard.copy[0]) + ": " +
                                  strerror(errno));
  }
  // A program that ends early fails the write (SIGPIPE is ignored), and
  // then says so through its status.
  bool written = true;
  try {
    write_all(pipe.write_end.get(), value, clipboard.name);
  } catch (const Failure&) {
    written = false;
  }
  pipe.write_end.reset();
  const int status = exit_status(child);
  if (status != 0 || !written) {
    throw Failure(kFileError, what + ": " + clipboard.name + " could not take the value (" +
                                  (status < 0 ? std::string("it did not exit")
                                              : "exit status " + std::to_string(status)) +
                                  "): nothing was copied");
  }
}

void clear_clipboard_later(const Clipboard& clipboard, std::string_view value,
                           std::chrono::seconds delay) {
  DigestContext context = start_digest();
  EVP_DigestUpdate(context.get(), value.data(), value.size());
  Digest digest = finish_digest(context.get());
  // The hash waits in a pipe for the process to read: a pipe holds far
  // more than 32 bytes, so the write does not wait for a reader.
  Pipe pipe = make_pipe();
  const ssize_t written = write(pipe.write_end.get(), digest.data(), digest.size());
  wipe(digest.data(), digest.size());
  pipe.write_end.reset();
  UniqueFd null(open("/dev/null", O_RDWR | O_CLOEXEC));
  if (written != static_cast<ssize_t>(digest.size()) || !null) {
    throw Failure(kInternal, "cannot hand the clipboard's hash over");
  }
  const std::string seconds = std::to_string(delay.count());
  const std::array<const char*, 5> argv{"kel-safe", kClipboardClearer, clipboard.name.c_str(),
                                        seconds.c_str(), nullptr};
  const int hash_fd = pipe.read_end.get();
  const int null_fd = null.get();
  // Twice forked, in a session of its own: the terminal's hangup does not
  // end it, nobody waits for it, and init reaps it. Between fork and exec
  // only async-signal-safe calls.
  const pid_t child = fork();
  if (child < 0) throw Failure(kInternal, std::string("cannot fork: ") + strerror(errno));
  if (child == 0) {
    setsid();
    const pid_t grandchild = fork();
    if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
    // Descriptors 0 to 2 are open, so the others are above them.
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    if (hash_fd == 3) {
      fcntl(3, F_SETFD, 0);
    } else {
      dup2(hash_fd, 3);
    }
    close_range(4, ~0U, 0);
    execv("/proc/self/exe", const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  exit_status(child);
}

int run_clipboard_clearer(const std::vector<std::string>& args) {
  Clipboard clipboard;
  struct WipedDigest {
    Digest bytes{};
    ~WipedDigest() { wipe(bytes.data(), bytes.size()); }
  } kept;
  Digest& expected = kept.bytes;
  std::size_t got = 0;
  while (got < expected.size()) {
    const ssize_t n = read(3, expected.data() + got, expected.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(3);
  unsigned long long seconds = 0;
  try {
    seconds = std::stoull(args.at(2));
  } catch (const std::exception&) {
    return kUsage;
  }
  if (got != expected.size() || !clipboard_of(args.at(1), clipboard)) return kUsage;
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  Digest now{};
  if (!clipboard_digest(clipboard, now)) return kFalse;
  if (CRYPTO_memcmp(now.data(), expected.data(), now.size()) != 0) return kFalse;
  const pid_t child = spawn(clipboard.clear, -1, -1);
  return child >= 0 && exit_status(child) == 0 ? kOk : kFileError;
}

int cmd_get_clip(const Context& context, const std::string& name,
                 std::chrono::seconds clear_after, std::size_t line) {
  require_store(context);
  const std::string path = store_file(context.store);
  const std::string what = "get " + quoted(name);
  // Before the password is asked: a clipboard that is not there is told
  // without it.
  const Clipboard clipboard = find_clipboard(what);
  SafeHandle safe = open_safe(context, what);
  const std::vector<kel::Entry> entries = read_entries(*safe, {name}, what, path);
  const std::string_view value = value_or_line(entries.front().value(), line, what, name);
  copy_to_clipboard(clipboard, value, what);
  if (clear_after.count() > 0) clear_clipboard_later(clipboard, value, clear_after);
  if (!context.quiet) {
    const std::string which = line > 0 ? "line " + std::to_string(line) + " of " : "";
    note("copied " + which + quoted(name) + " to the clipboard (" + clipboard.name + ")" +
         (clear_after.count() > 0
              ? "; it is cleared in " + std::to_string(clear_after.count()) +
                    " s unless something else is copied first"
              : ""));
  }
  return kOk;
}

}  // namespace kel::tool
