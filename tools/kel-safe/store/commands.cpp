#include "commands.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <kel/diagnostics.h>
#include <kel/entry.h>
#include <kel/safe.h>
#include <kel/store_files.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "default_store.h"
#include "generator.h"
#include "key_source.h"
#include "output_file.h"
#include "shown_bytes.h"
#include "status.h"
#include "streams.h"
#include "system_failure.h"
#include "terminal.h"
#include "totp.h"

namespace kel::tool {

namespace {

constexpr std::size_t kMaxValue = std::numeric_limits<std::uint32_t>::max();

// Where the library keeps a backup of the store.
std::string backup_file(const Context& context, kel::StoreBackup which) {
  std::string backup, error;
  kel::store_backup_path(store_file(context.store), which, backup, error);
  return backup;
}


// Refuses a new password before the library sees it, naming every rule it
// breaks at once rather than one per try.
void check_policy(const std::string& what, const Secret& password) {
  const std::string breaches = policy_breaches(password.str());
  if (!breaches.empty()) {
    throw Failure(kRejected, what + ": the new password is refused: " + breaches);
  }
}

// The library names the backup a password change is about to make, before
// making it, in a diagnostic line. The tool names it once, after the change,
// and only when the change was made, and words every failure from the
// call's status: no line of the library's reaches the user while the
// password changes, and none is read.
class DiagnosticsMuted {
 public:
  DiagnosticsMuted() : previous_(kel::set_diagnostics(kel::Diagnostics())) {}
  ~DiagnosticsMuted() { kel::set_diagnostics(std::move(previous_)); }
  DiagnosticsMuted(const DiagnosticsMuted&) = delete;
  DiagnosticsMuted& operator=(const DiagnosticsMuted&) = delete;

 private:
  kel::Diagnostics previous_;
};

// How many times a password typed on the terminal may be wrong, as sudo.
constexpr int kPasswordTries = 3;

// `only_existing`: say nothing about a backup that is not there.
void maybe_drop_backup(const Context& context, kel::StoreBackup which,
                       bool drop, const std::string& what,
                       bool only_existing = false) {
  const std::string backup = backup_file(context, which);
  struct stat info {};
  if (only_existing && lstat(backup.c_str(), &info) != 0) return;
  report_backup(context, backup, drop, what);
}

void append_utf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xc0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xe0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (code & 0x3f));
  }
}

}  // namespace

// `what` names the subcommand and its object ("add 'mail'"): every failure
// reads "<what>: <what happened> (<the library's text>)".
[[noreturn]] void library_failure(const std::string& what, kel::Status code,
                                  const std::string& error, const std::string& store_path,
                                  const std::optional<std::string>& name,
                                  const std::string& password_source) {
  Status status = kInternal;
  const std::string said = explain(code, error, store_path, name, status, password_source);
  throw Failure(status, what + ": " + said);
}

// Fails early, with a clear word, when there is no store file to work on.
void require_store(const Context& context) {
  if (context.store.empty()) {
    throw Failure(kUsage, kNoStoreGiven);
  }
  const std::string path = store_file(context.store);
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) {
      // "-s notes.json" names the file itself, but the tool adds ".safe".
      if (path != context.store && stat(context.store.c_str(), &info) == 0 &&
          !S_ISDIR(info.st_mode)) {
        throw Failure(kStoreError,
                      "no store at " + quoted(path) +
                          ": store file names end in .safe, which -s adds; if " +
                          quoted(context.store) + " is a store, mv " + quoted(context.store) +
                          " " + quoted(path) + " (kel-safe create makes a new one)");
      }
      throw Failure(kStoreError,
                    "no store at " + quoted(path) + " (kel-safe create makes one)");
    }
    throw Failure(kStoreError, "cannot use " + quoted(path) + ": " + strerror(errno));
  }
  if (S_ISDIR(info.st_mode)) {
    throw Failure(kStoreError, quoted(path) + " is a directory, not a store");
  }
}

void report_backup(const Context& context, const std::string& backup, bool drop,
                   const std::string& what) {
  if (drop) {
    if (unlink(backup.c_str()) != 0 && errno != ENOENT) {
      throw Failure(kFileError, "cannot remove " + quoted(backup) + ": " +
                                    strerror(errno));
    }
    if (!context.quiet) note("removed the backup " + quoted(backup));
  } else if (!context.quiet) {
    note("the previous store file, which " + what + ", is kept as " +
         quoted(backup) + " (--drop-backup removes it)");
  }
}

// A Safe for the store whose password has been checked, so that a
// mistyped password is reported as such and not as a missing entry. The
// password is read from wherever the user gave it; typed on the terminal it
// may be retried. Keeps the password in `kept` when asked, else wipes it.
SafeHandle open_safe(const Context& context, const std::string& what, Secret* kept) {
  if (context.session != nullptr) return SafeHandle(context.session, SafeRelease{false});
  const std::string path = store_file(context.store);
  // An identity opens its slot with no password: none is asked.
  const bool keyless = opens_with_identity(context.passwords);
  const bool typed = !keyless && password_is_typed(context.passwords);
  for (int attempt = 1;; ++attempt) {
    Secret password = keyless ? Secret() : store_password(context.passwords, path, false);
    std::unique_ptr<kel::Safe> safe = make_safe(context, password);
    use_key_source(*safe, context.passwords, what);
    std::string error;
    if (safe->key_verified(error)) {
      if (kept != nullptr) *kept = std::move(password);
      return SafeHandle(safe.release());
    }
    if (!typed || attempt == kPasswordTries || safe->status() != kel::Status::wrong_password) {
      open_failure(what, safe->status(), error, path, context.passwords);
    }
    note("wrong password, try again");
  }
}

void SafeRelease::operator()(kel::Safe* safe) const {
  if (owned) delete safe;
}

void claim_standard_input(const Context& context, const std::string& what) {
  if (context.session_value) {
    throw Failure(kUsage, what + ": standard input carries the commands here; give a file");
  }
}

// A Safe for a store about to be made, with a new password.
std::unique_ptr<kel::Safe> new_safe(const Context& context, const std::string& what) {
  Secret password = store_password(context.passwords, store_file(context.store), true);
  check_policy(what, password);
  return make_safe(context, password);
}

std::string real_store_file(const std::string& path) {
  std::string file, error;
  return kel::final_store_file(path, file, error) == 0 ? file : path;
}

std::vector<std::string> store_and_backups(const std::string& path) {
  const std::string real = real_store_file(path);
  std::vector<std::string> files{path, real};
  // The backups' names, beside the link as well as beside the file.
  for (kel::StoreBackup which : {kel::StoreBackup::password_change, kel::StoreBackup::removal}) {
    std::string backup, error;
    if (kel::store_backup_path(path, which, backup, error) != 0) continue;
    const std::string suffix = backup.substr(real.size());
    files.push_back(path + suffix);
    files.push_back(backup);
  }
  return files;
}

// The library's rule, with copies beside a store opening as printed.
std::string store_file(const std::string& store) {
  std::string path, error;
  return kel::store_file_path(store, path, error) == 0 ? path : store + ".safe";
}

constexpr off_t kThreadedScanBytes = off_t{1} << 20;

// The cores this process may run on (its affinity mask, which a container
// or taskset narrows; the machine's count when that cannot be read), 1 to 4.
unsigned usable_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  const int count = sched_getaffinity(0, sizeof set, &set) == 0
                        ? CPU_COUNT(&set)
                        : static_cast<int>(std::thread::hardware_concurrency());
  return static_cast<unsigned>(std::clamp(count, 1, 4));
}

std::unique_ptr<kel::Safe> make_safe(const Context& context, const Secret& password) {
  auto safe = std::make_unique<kel::Safe>(context.store, password.str());
  // The library appends ".safe" to every name; a copy named as printed is
  // opened under its own name.
  const std::string path = store_file(context.store);
  safe->use_store_file(path);
  // From about 10^4 records (a megabyte) up, a scan of the whole file (ls,
  // adding a new name, check, a rewrite) opens names on several cores. The
  // library starts and joins them within the call, so none is alive when
  // the tool forks (the agent, run).
  // Format 2's key derivation computes its lanes on the cores there are: a
  // one-shot command waits for it each time, and the work (an attacker's
  // cost) is the same on any number of threads.
  safe->set_kdf_threads(usable_cores());
  struct stat info {};
  if (stat(path.c_str(), &info) == 0 && info.st_size >= kThreadedScanBytes) {
    safe->set_scan_threads(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
  }
  return safe;
}

std::string json_names(const std::vector<std::string>& names) {
  static const char digits[] = "0123456789abcdef";
  std::string out = "[";
  for (std::size_t n = 0; n < names.size(); ++n) {
    if (n > 0) out += ',';
    out += '"';
    const std::string& name = names[n];
    for (std::size_t i = 0; i < name.size();) {
      const unsigned char c = static_cast<unsigned char>(name[i]);
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
        ++i;
      } else if (c < 0x20 || c == 0x7f) {
        out += "\\u00";
        out += digits[c >> 4];
        out += digits[c & 15];
        ++i;
      } else if (c < 0x80) {
        out += static_cast<char>(c);
        ++i;
      } else {
        std::uint32_t code = 0;
        const std::size_t length = utf8_sequence(name, i, code);
        if (length == 0) {
          append_utf8(out, 0xfffd);
          ++i;
        } else if (code < 0xa0) {
          // A C1 control, escaped as JSON allows: raw, it acts on a terminal.
          out += "\\u00";
          out += digits[code >> 4];
          out += digits[code & 15];
          i += length;
        } else {
          out.append(name, i, length);
          i += length;
        }
      }
    }
    out += '"';
  }
  out += "]\n";
  return out;
}

bool valid_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    std::uint32_t code = 0;
    const std::size_t length = utf8_sequence(bytes, i, code);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

int cmd_create(const Context& context, bool group, bool generate_password,
               const kel::StoreOptions& format) {
  if (context.store.empty()) {
    throw Failure(kUsage, kNoStoreGiven);
  }
  const std::string path = store_file(context.store);
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0) {
    throw Failure(kExists, quoted(path) + " exists already");
  }
  const std::string what = "create " + quoted(path);
  Secret generated;
  std::unique_ptr<kel::Safe> safe_owner;
  if (generate_password) {
    // The default of generate always meets the password policy.
    kel::Safe random_source;
    generated = generate_value(random_source, kDefaultGeneratedLength,
                               parse_classes("upper,lower,digit,symbol", "create"), "create");
    safe_owner = make_safe(context, generated);
  } else {
    safe_owner = new_safe(context, what);
  }
  kel::Safe& safe = *safe_owner;
  // The library asks for group access; a store of one person's secrets is
  // private unless shared on purpose, as other password stores do it.
  make_default_store_folder(path);
  if (!group) umask(umask(0) | 077);
  std::string error;
  if (safe.create_safe(format, error) != 0) library_failure(what, safe.status(), error, path);
  if (!context.quiet) note("created " + quoted(error));

  if (generate_password) {
    // Shown this once: nothing else keeps it. A store whose password could
    // not be shown opens for nobody, so it is removed again; it holds
    // nothing yet, and nobody else can have written to it.
    generated.push_back('\n');
    try {
      write_data(generated.view());
    } catch (const Failure&) {
      unlink(path.c_str());
      note("removed " + quoted(path) + " again: its password could not be shown");
      throw;
    }
    if (!context.quiet) note("the store password is on standard output; keep it safe");
  }
  return kOk;
}

int cmd_verify(const Context& context) {
  require_store(context);
  const std::string path = store_file(context.store);
  const bool keyless = opens_with_identity(context.passwords);
  Secret password = keyless ? Secret() : store_password(context.passwords, path, false);
  std::unique_ptr<kel::Safe> safe = make_safe(context, password);
  use_key_source(*safe, context.passwords, "verify");
  password.clear();
  const std::string identity = "the identity " + quoted(context.passwords.identity);
  std::string error;
  if (safe->key_verified(error)) {
    if (!context.quiet) note((keyless ? identity : "the password") + " unlocks " + quoted(path));
    return kOk;
  }
  if (safe->status() == kel::Status::wrong_password) {
    if (!context.quiet) {
      note((keyless ? identity : "the password " + password_source(context.passwords)) +
           " does not unlock " + quoted(path));
    }
    return kFalse;
  }
  open_failure("verify", safe->status(), error, path, context.passwords);
}

int cmd_passwd(const Context& context, bool drop_backup, bool rotate_key,
               const std::optional<kel::StoreOptions>& kdf) {
  require_store(context);
  const std::string path = store_file(context.store);
  if (path.size() < 5 || path.compare(path.size() - 5, 5, ".safe") != 0) {
    throw Failure(kUsage, "passwd: " + quoted(path) +
                              " is a copy kept beside a store; copy it to a name "
                              "ending in .safe to give it a new password");
  }
  // passwd changes the password that opens a password slot; an identity
  // has none, and a key file's slot is replaced by granting a new one.
  if (opens_with_identity(context.passwords) || !context.passwords.key_file.empty()) {
    throw Failure(kUsage, std::string("passwd: changes the password of a password slot, which ") +
                              (opens_with_identity(context.passwords) ? "--identity"
                                                                      : "--key-file") +
                              " does not open: give that password alone; a new key for "
                              "another slot is kel-safe grant, then kel-safe revoke of the old");
  }
  std::string error;
  if (rotate_key || kdf) {
    // Told before any password is asked for.
    kel::FormatInfo info;
    const std::unique_ptr<kel::Safe> reader = make_safe(context, Secret());
    if (reader->format_info(info, error) != 0) {
      library_failure("passwd", reader->status(), error, path);
    }
    if (info.version == 1) {
      throw Failure(kUsage, std::string("passwd: ") +
                                (rotate_key ? "--rotate-key" : "the --kdf options") +
                                " are for format 2, and " + quoted(path) +
                                " is format 1; kel-safe upgrade makes it format 3 "
                                "with a new store key");
    }
  }
  Secret old_password;
  SafeHandle safe = open_safe(context, "passwd", &old_password);
  Secret new_password = new_store_password(context.passwords, path);
  check_policy("passwd", new_password);
  {
    const DiagnosticsMuted muted;
    const std::string& name = context.store;
    const int rc =
        rotate_key ? (kdf ? safe->rotate_key(name, old_password.str(), new_password.str(),
                                             *kdf, error)
                          : safe->rotate_key(name, old_password.str(), new_password.str(),
                                             error))
        : kdf ? safe->change_key(name, old_password.str(), new_password.str(), *kdf, error)
              : safe->change_key(name, old_password.str(), new_password.str(), error);
    if (rc != 0) library_failure("passwd", safe->status(), error, path);
  }
  if (!context.quiet) {
    note("changed the password of " + quoted(path));
    if (rotate_key) {
      note("drew a new store key and sealed every entry again under it: the old "
           "password and copies of the old file open none of it");
    }
    kel::FormatInfo info;
    const std::unique_ptr<kel::Safe> reader = make_safe(context, Secret());
    if (kdf && reader->format_info(info, error) == 0) {
      note(quoted(path) + " is " + describe_format(info));
    }
  }
  if (rotate_key) {
    // Both hold the old store key, under the old password: name each with
    // the command that removes it.
    for (const kel::StoreBackup which :
         {kel::StoreBackup::password_change, kel::StoreBackup::removal}) {
      const std::string backup = backup_file(context, which);
      struct stat info {};
      if (lstat(backup.c_str(), &info) != 0) continue;
      report_backup(context, backup, drop_backup,
                    "holds the old store key and opens with the old password");
      if (!drop_backup && !context.quiet) {
        note("remove it with: rm -- " + shell_word(backup, utf8_locale()));
      }
    }
    return kOk;
  }
  maybe_drop_backup(context, kel::StoreBackup::password_change, drop_backup, "still opens with the old password");
  // The backup of the last removal holds the same store key under the old
  // password as well.
  maybe_drop_backup(context, kel::StoreBackup::removal, drop_backup,
                    "opens with the old password too", true);
  return kOk;
}

int cmd_add(const Context& context, const std::string& name, const std::string& file,
            AddMode mode, bool drop_backup) {
  if (drop_backup && mode == AddMode::add) {
    throw Failure(kUsage,
                  "add: --drop-backup goes with --replace or --replace-or-add; a plain "
                  "add appends and keeps no backup");
  }
  require_store(context);
  const std::string path = store_file(context.store);
  const std::string what = "add " + quoted(name);
  if (!file.empty()) {
    // Report an unusable input file as the user's problem, not the store's.
    UniqueFd input(open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!input) {
      throw Failure(kFileError, "cannot open " + quoted(file) + ": " + strerror(errno));
    }
    // Pipes, FIFOs, /dev/stdin and /proc files are streamed like files;
    // only a directory has no content to store.
    struct stat info {};
    if (fstat(input.get(), &info) == 0 && S_ISDIR(info.st_mode)) {
      throw Failure(kFileError, "cannot read " + quoted(file) + ": " + strerror(EISDIR));
    }
    if (S_ISREG(info.st_mode)) {
      refuse_bad_otpauth_file(input.get(), static_cast<std::uint64_t>(info.st_size), what);
    }
  }
  SafeHandle safe_owner = open_safe(context, what, nullptr);
  kel::Safe& safe = *safe_owner;
  if (mode == AddMode::add && safe.exists(name)) {
    library_failure(what, kel::Status::exists, "Item exists", path, name);
  }
  // A replacement (or an add through --replace-or-add) is one rewrite of the
  // store file; a plain add appends.
  const bool rewrite = mode != AddMode::add;
  const bool or_add = mode == AddMode::replace_or_add;
  // For what the backup holds: the old value, or nothing of this name.
  const bool was_stored = !or_add || safe.exists(name);

  std::string error;
  if (!file.empty()) {
    ProgressBar bar("add " + quoted(name));
    const kel::Progress progress = [&bar](std::uint64_t done, std::uint64_t total) {
      bar.update(done, total);
    };
    const int rc = !rewrite ? safe.add_entry_from_file(name, file, error, progress)
                   : or_add ? safe.set_entry_from_file(name, file, error)
                            : safe.replace_entry_from_file(name, file, error);
    if (rc != 0) {
      bar.finish();
      // The input file's own failures are the user's file, not the store.
      if (safe.status() == kel::Status::caller_file) {
        throw Failure(kFileError, what + ": cannot read " + quoted(file) + " (" + error + ")");
      }
      library_failure(what, safe.status(), error, path, name);
    }
  } else {
    Secret value;
    if (context.session_value) {
      value = context.session_value(name);
    } else if (isatty(0) == 1) {
      Terminal terminal("a value");
      value = terminal.read_confirmed("Value of " + quoted(name) + ": ", "Repeat it: ");
    } else {
      read_all(0, value, kMaxValue, "standard input");
    }
    if (value.empty()) throw Failure(kRejected, what + ": " + kEmptyValue);
    refuse_bad_otpauth_uri(value.view(), what);
    kel::Entry entry(name);
    entry.set_value(value.str());
    value.clear();
    const int rc = !rewrite ? safe.add_entry(entry, error)
                   : or_add ? safe.set_entry(entry, error)
                            : safe.replace_entry(entry, error);
    if (rc != 0) library_failure(what, safe.status(), error, path, name);
  }
  if (!context.quiet) {
    note((!rewrite ? "added " : or_add ? "stored " : "replaced ") + quoted(name));
  }
  if (rewrite) {
    report_backup(context, safe.removal_backup_path(), drop_backup,
                  was_stored ? "still holds the old value"
                             : "does not hold " + quoted(name) + " yet");
  }
  return kOk;
}

int cmd_get(const Context& context, const std::string& name,
            const std::string& output, bool force) {
  require_store(context);
  const std::string path = store_file(context.store);
  const std::string what = "get " + quoted(name);
  const bool to_stdout = output.empty() || output == "-";
  if (!to_stdout && !force) {
    // Say so before asking for a password; OutputFile checks again.
    struct stat info {}, target {};
    if (lstat(output.c_str(), &info) == 0 &&
        !(stat(output.c_str(), &target) == 0 &&
          (S_ISCHR(target.st_mode) || S_ISFIFO(target.st_mode) ||
           S_ISSOCK(target.st_mode)))) {
      throw Failure(kExists, quoted(output) + " exists (--force replaces it)");
    }
  }
  SafeHandle safe_owner = open_safe(context, what, nullptr);
  kel::Safe& safe = *safe_owner;
  std::string error;
  // Standard output and devices cannot take back what they were given: the
  // library lets only authenticated bytes reach them, and a large value is
  // checked in a first pass rather than held in memory.
  // The output's faults, not the store's.
  const auto output_failure = [&](const std::string& where, const std::string& file_path) {
    const SystemFailure system = file_failure(safe.status(), file_path);
    const std::string said = system.text.empty() ? "cannot write " + where : system.text;
    throw Failure(kFileError, what + ": " + said + " (" + error + ")");
  };
  const auto stream_to = [&](int fd, const std::string& where, const std::string& file_path) {
    if (safe.get_entry_to_stream(name, fd, error) == 0) return;
    if (safe.status() == kel::Status::caller_file) output_failure(where, file_path);
    library_failure(what, safe.status(), error, path, name);
  };
  if (to_stdout) {
    if (data_fd() < 0) write_data("");  // fails: standard output is closed
    stream_to(data_fd(), "standard output", "");
    return kOk;
  }
  OutputFile file(output, force, store_and_backups(path));
  if (file.direct()) {
    stream_to(file.fd(), quoted(output), output);
    return kOk;
  }
  ProgressBar bar("get " + quoted(name));
  const kel::Progress progress = [&bar](std::uint64_t done, std::uint64_t total) {
    bar.update(done, total);
  };
  const int result = safe.get_entry_to_fd(name, file.fd(), error, progress);
  bar.finish();
  if (result != 0) {  // the temporary file goes
    if (safe.status() == kel::Status::caller_file) output_failure(quoted(output), output);
    library_failure(what, safe.status(), error, path, name);
  }
  file.commit();
  return kOk;
}

int cmd_exists(const Context& context, const std::string& name) {
  require_store(context);
  const std::string path = store_file(context.store);
  const std::string what = "exists " + quoted(name);
  SafeHandle safe = open_safe(context, what, nullptr);
  // "Not stored" only when the store could be read: a store that cannot be
  // opened or scanned is an error, never an absent entry.
  std::string error;
  const int found = safe->exists(name, error);
  if (found < 0) library_failure(what, safe->status(), error, path, name);
  return found == 1 ? kOk : kFalse;
}

int cmd_ls(const Context& context, bool json, bool null_separated, const std::string& prefix,
           bool long_format, bool escape, const NameFilter& filter) {
  require_store(context);
  const std::string path = store_file(context.store);
  const std::string& what = filter.what;
  SafeHandle safe_owner = open_safe(context, what, nullptr);
  kel::Safe& safe = *safe_owner;
  std::vector<std::pair<std::string, std::uint64_t>> entries;
  std::string out;
  // Names are secrets too: their buffers are wiped however this ends.
  struct WipeNames {
    std::vector<std::pair<std::string, std::uint64_t>>& entries;
    std::string& out;
    ~WipeNames() {
      for (auto& entry : entries) wipe(entry.first);
      wipe(out);
    }
  } wipe_names{entries, out};
  std::string error;
  // The lengths come from the index: no value is decrypted for them.
  if (long_format) {
    if (safe.list_entry_lengths(entries, error) != 0) library_failure(what, safe.status(), error, path);
  } else {
    std::vector<std::string> names;
    if (safe.list_entries(names, error) != 0) library_failure(what, safe.status(), error, path);
    entries.reserve(names.size());
    for (std::string& name : names) entries.emplace_back(std::move(name), 0);
  }
  // What is listed is what could be read: damage is told after the names,
  // and the answer is not that of a whole store.
  std::vector<kel::IntegrityReport::Region> damage;
  if (safe.damaged_regions(damage, error) != 0) library_failure(what, safe.status(), error, path);
  const auto listed = [&damage, &path, &what] {
    if (damage.empty()) return kOk;
    for (const auto& region : damage) {
      note(what + ": " + quoted(path) + " is damaged at offset " + std::to_string(region.offset) +
           " (" + std::to_string(region.length) + " bytes): " + region.what);
    }
    note(what + ": " + std::to_string(damage.size()) +
         (damage.size() == 1 ? " damaged region" : " damaged regions") +
         "; the list may be incomplete (kel-safe check tells more, kel-safe repair "
         "mends the store)");
    return kStoreError;
  };
  std::erase_if(entries, [&prefix, &filter](const auto& entry) {
    if (entry.first.compare(0, prefix.size(), prefix) == 0 &&
        (!filter.keep || filter.keep(entry.first))) {
      return false;
    }
    wipe(const_cast<std::string&>(entry.first));
    return true;
  });
  std::sort(entries.begin(), entries.end());
  if (json && long_format) {
    // [{"name": ..., "length": N}, ...], each name as ls --json writes it.
    Secret text;
    text.push_back('[');
    std::vector<std::string> one(1);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      one[0] = entries[i].first;
      std::string name = json_names(one);  // ["..."] and a line end
      if (i > 0) text.push_back(',');
      text.append("{\"name\":", 8);
      text.append(name.data() + 1, name.size() - 3);
      const std::string length = ",\"length\":" + std::to_string(entries[i].second) + "}";
      text.append(length.data(), length.size());
      wipe(name);
      wipe(one[0]);
    }
    text.append("]\n", 2);
    write_data(text.view());
    return listed();
  }
  if (json) {
    std::vector<std::string> names;
    struct WipeCopies {
      std::vector<std::string>& names;
      ~WipeCopies() {
        for (std::string& name : names) wipe(name);
      }
    } wipe_copies{names};
    names.reserve(entries.size());
    for (const auto& entry : entries) names.push_back(entry.first);
    out = json_names(names);
    write_data(out);
    return listed();
  }
  std::size_t total = 0;
  // Escaped, a byte takes up to four, plus $'' around the name.
  for (const auto& entry : entries) total += entry.first.size() * (escape ? 4 : 1) + 25;
  out.reserve(total);  // one buffer, so no copy is left unwiped
  const bool utf8 = utf8_locale();
  for (const auto& entry : entries) {
    if (long_format) {
      out += std::to_string(entry.second);
      out += '\t';
    }
    if (escape) {
      std::string shown = listed_name(entry.first, utf8);
      out += shown;
      wipe(shown);
    } else {
      out += entry.first;
    }
    out += null_separated ? '\0' : '\n';
  }
  write_data(out);
  return listed();
}

int cmd_version() {
  kel::Safe safe;
  std::string text = "kel-safe " KEL_SAFE_TOOL_VERSION "\nlibkel-safe ";
  text += safe.version();
  text += '\n';
  write_data(text);
  return kOk;
}

}  // namespace kel::tool
