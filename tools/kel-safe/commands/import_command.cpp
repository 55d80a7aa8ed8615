// kel-safe import: entries from a JSON object, dotenv lines or a directory
// tree (the forms export writes), added in one process under one password.
// Each batch is one rewrite of the store: readers see all of it or none.
// The backup kept is always the store as it was before the import.
// Every name and value is checked, and every file of a directory opened,
// before anything is added; the report says per name what was added,
// skipped (stored already or empty) or replaced.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <set>
#include <string_view>
#include <utility>

#include <kel/backup_aside.h>
#include <kel/diagnostics.h>

#include "entry_selection.h"
#include "status.h"
#include "system_failure.h"
#include "streams.h"
#include "subcommand.h"
#include "tree_files.h"
#include "value_formats.h"

namespace kel::tool {

namespace {

struct ImportOptions {
  std::string json;
  std::string env;
  std::string dir;
  bool replace = false;
  bool drop_backup = false;
};

constexpr std::size_t kMaxInput = std::numeric_limits<std::uint32_t>::max();
// A directory is added in batches of at most this many bytes or files, so
// memory stays bounded however large the tree; a file above kStreamed is
// streamed into the store on its own.
constexpr std::size_t kBatchBytes = 64 * 1024 * 1024;
constexpr std::size_t kBatchFiles = 10000;
constexpr std::uint64_t kStreamed = 16 * 1024 * 1024;
constexpr std::size_t kMaxName = 255;
// A store file that holds no entry is its header alone: 132 bytes in
// formats 1 and 2; in format 3 (magic, version 3) as long as its length
// field (bytes 12 to 15) says. -1 when the file cannot be read.
off_t empty_store_size(const std::string& path) {
  unsigned char start[16] = {};
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  const ssize_t got = pread(fd, start, sizeof start, 0);
  close(fd);
  if (got != static_cast<ssize_t>(sizeof start)) return -1;
  static constexpr unsigned char kVersion3[12] = {0x89, 'K', 'E', 'L', 'S', 'A',
                                                  'F',  'E', 3,   0,   0,   0};
  if (std::memcmp(start, kVersion3, sizeof kVersion3) != 0) return 132;
  return static_cast<off_t>(start[12] | start[13] << 8 | start[14] << 16 |
                            static_cast<std::uint32_t>(start[15]) << 24);
}

struct Tally {
  std::size_t added = 0;
  std::size_t skipped = 0;
  std::size_t replaced = 0;
  std::size_t empty = 0;
};

// A value must hold at least one byte, yet empty ones are common where
// entries come from (X="" in dotenv files, an empty file): each is left out
// by name rather than failing the import, and counted. Said even under -q,
// since the name is then not stored.
void skip_empty(const std::string& name, Tally& tally) {
  ++tally.empty;
  note("skipped " + tool::quoted(name) + ": its value is empty, and a stored value holds "
       "at least one byte");
}

void skip_empty(NamedEntries& entries, Tally& tally) {
  // A name given twice refuses the import even where one value is empty.
  std::set<std::string_view> seen;
  for (const std::string& name : entries.names) {
    if (!seen.insert(name).second) {
      throw Failure(kRejected, "import: the name " + tool::quoted(name) + " is given twice");
    }
  }
  NamedEntries kept;
  for (std::size_t i = 0; i < entries.names.size(); ++i) {
    if (entries.entries[i].value().empty()) {
      skip_empty(entries.names[i], tally);
    } else {
      kept.names.push_back(std::move(entries.names[i]));
      kept.entries.push_back(std::move(entries.entries[i]));
    }
  }
  entries.clear();
  std::swap(entries, kept);
}

void report(const Context& context, const std::string& name, kel::AddOutcome outcome,
            Tally& tally) {
  switch (outcome) {
    case kel::AddOutcome::added: ++tally.added; break;
    case kel::AddOutcome::skipped: ++tally.skipped; break;
    case kel::AddOutcome::replaced: ++tally.replaced; break;
  }
  if (context.quiet) return;
  if (outcome == kel::AddOutcome::added) note("added " + tool::quoted(name));
  if (outcome == kel::AddOutcome::replaced) note("replaced " + tool::quoted(name));
  if (outcome == kel::AddOutcome::skipped) {
    note("skipped " + tool::quoted(name) + ": stored already (--replace replaces it)");
  }
}

void add_batch(kel::Safe& safe, const Context& context, const ImportOptions& options,
               NamedEntries& batch, Tally& tally) {
  if (batch.entries.empty()) return;
  std::vector<kel::AddOutcome> outcomes;
  std::string error;
  if (safe.add_entries(batch.entries, options.replace, outcomes, error) != 0) {
    library_failure("import", safe.status(), error, store_file(context.store));
  }
  for (std::size_t i = 0; i < batch.names.size(); ++i) {
    report(context, batch.names[i], outcomes[i], tally);
  }
  batch.clear();
}

// A file too large for a batch goes into the store streamed, on its own,
// from the descriptor opened here: the library looks up no path.
void add_streamed(kel::Safe& safe, const Context& context, const ImportOptions& options,
                  const Tree& tree, const TreeFile& file, Tally& tally) {
  std::string error;
  const int stored = safe.exists(file.name, error);
  if (stored < 0) library_failure("import", safe.status(), error, store_file(context.store), file.name);
  if (stored == 1 && !options.replace) {
    report(context, file.name, kel::AddOutcome::skipped, tally);
    return;
  }
  const UniqueFd fd = tree.open(file);
  const int rc = stored == 1 ? safe.set_entry_from_fd(file.name, fd.get(), error)
                             : safe.add_entry_from_fd(file.name, fd.get(), error);
  if (rc != 0) library_failure("import", safe.status(), error, store_file(context.store), file.name);
  report(context, file.name,
         stored == 1 ? kel::AddOutcome::replaced : kel::AddOutcome::added, tally);
}

Secret read_input(const std::string& path) {
  Secret input;
  if (path == "-") {
    read_all(0, input, kMaxInput, "standard input");
    return input;
  }
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) {
    throw Failure(kFileError, "import: cannot open " + tool::quoted(path) + ": " + strerror(errno));
  }
  read_all(fd.get(), input, kMaxInput, tool::quoted(path));
  return input;
}

// A directory that is a pass store holds values encrypted with gpg, which
// would be stored as they are: useless, and not what the user meant.
void refuse_pass_store(const std::string& dir, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    const std::string last = name.substr(name.rfind('/') + 1);
    const bool pass = last.ends_with(".gpg") || last == ".gpg-id" || name.starts_with(".git/") ||
                      name.find("/.git/") != std::string::npos || last == ".git";
    if (!pass) continue;
    throw Failure(kRejected,
                  "import: " + tool::quoted(dir) + " holds " + tool::quoted(name) +
                      ": it is a pass store, whose files are encrypted and would be stored "
                      "as such; let pass decrypt them into a private directory and import "
                      "that (README.md, \"Coming from pass\", shows how)");
  }
}

// Every regular file below the directory, each opened once now, before the
// password is asked and anything is added: a file that cannot be read, or
// an invalid name, refuses the whole import. Empty files are left out.
std::vector<TreeFile> checked_files(const Context& context, const Tree& tree,
                                    const std::string& dir, Tally& tally) {
  std::vector<std::string> left_out;
  const std::vector<TreeFile> files = tree.files(left_out);
  std::vector<std::string> names = left_out;
  for (const TreeFile& file : files) names.push_back(file.name);
  refuse_pass_store(dir, names);
  for (const std::string& name : left_out) {
    if (!context.quiet) note("left out " + tool::quoted(name) + ": not a regular file");
  }
  std::vector<TreeFile> kept;
  for (const TreeFile& file : files) {
    if (file.name.size() > kMaxName) {
      throw Failure(kRejected, "import: the name " + tool::quoted(file.name) +
                                   " is longer than 255 bytes");
    }
    if (file.size > kMaxInput) {
      throw Failure(kRejected, "import: " + tool::quoted(file.name) + " is too large");
    }
    tree.open(file);
    if (file.size == 0) {
      skip_empty(file.name, tally);
    } else {
      kept.push_back(file);
    }
  }
  return kept;
}

// A tree imported in several batches rewrites the store once per batch, and
// each rewrite keeps the file it replaced as the backup, over the one
// before. The backup an import reports must be the store as it was before
// the import: the first one made is set aside under a name of its own while
// later batches run, and put back under the backup's name at the end,
// whether the import succeeded or not.
//
// An import that is killed cannot put it back: the copy stays under the
// name it was set aside under ("<backup>.before-import", or that name with
// ".1", ".2"... when it was taken). Such a copy holds secrets, among them
// values the import replaced, so it is never written over: a later import
// sets its own aside under the next free name, and tells the user of every
// copy left that way. A running import holds a lock on the copy it set
// aside, which tells its copy from a dead one's.
class FirstBackup {
 public:
  explicit FirstBackup(const Context& context, std::string backup)
      : backup_(std::move(backup)), seen_(identity()) {
    std::vector<std::string> left;
    std::string error;
    kel::abandoned_backups(backup_, left, error);
    for (const std::string& name : left) {
      if (context.quiet) break;
      note(tool::quoted(name) + " was left by an import that did not finish: it holds the "
           "store as it was before that import; it is kept, delete it once it is not needed");
    }
  }
  ~FirstBackup() {
    if (aside_.empty()) return;
    std::string error;  // nothing is left to tell: the copy keeps its name
    kel::put_backup_back(aside_, backup_, error);
  }
  FirstBackup(const FirstBackup&) = delete;
  FirstBackup& operator=(const FirstBackup&) = delete;

  // Called after each step that may have rewritten the store.
  void after_step() {
    if (!aside_.empty()) return;
    const std::pair<dev_t, ino_t> now = identity();
    if (now.second == 0 || now == seen_) return;  // this step made no backup
    int held = -1;
    std::string error;
    if (kel::set_backup_aside(backup_, aside_, held, error) == 0) {
      held_ = UniqueFd(held);
      return;
    }
    int cause = 0;
    kel::last_system_error(cause);
    throw Failure(kStoreError, "import: cannot keep the backup " + tool::quoted(backup_) +
                                   " aside: " + strerror(cause));
  }

 private:
  std::pair<dev_t, ino_t> identity() const {
    struct stat info {};
    if (lstat(backup_.c_str(), &info) != 0) return {0, 0};
    return {info.st_dev, info.st_ino};
  }

  std::string backup_;
  std::string aside_;  // empty until the first backup is set aside
  std::pair<dev_t, ino_t> seen_;
  UniqueFd held_;
};

void import_dir(kel::Safe& safe, const Context& context, const ImportOptions& options,
                const Tree& tree, const std::vector<TreeFile>& files, Tally& tally) {
  FirstBackup first_backup(context, safe.removal_backup_path());
  NamedEntries batch;
  std::size_t batch_bytes = 0;
  for (const TreeFile& file : files) {
    if (file.size > kStreamed) {
      add_batch(safe, context, options, batch, tally);
      first_backup.after_step();
      batch_bytes = 0;
      add_streamed(safe, context, options, tree, file, tally);
      first_backup.after_step();
      continue;
    }
    if (batch_bytes + file.size > kBatchBytes || batch.entries.size() >= kBatchFiles) {
      add_batch(safe, context, options, batch, tally);
      first_backup.after_step();
      batch_bytes = 0;
    }
    Secret value;
    read_all(tree.open(file).get(), value, kMaxInput, tool::quoted(tree.shown(file)));
    if (value.empty()) {  // emptied since it was checked
      skip_empty(file.name, tally);
      continue;
    }
    batch_bytes += value.size();
    batch.add(file.name, value);
  }
  add_batch(safe, context, options, batch, tally);
}

std::pair<dev_t, ino_t> identity(const std::string& path, off_t* size = nullptr) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return {0, 0};
  if (size != nullptr) *size = info.st_size;
  return {info.st_dev, info.st_ino};
}

int run_import(const Context& context, const ImportOptions& options) {
  NamedEntries entries;
  Tally tally;
  std::unique_ptr<Tree> tree;
  std::vector<TreeFile> files;
  // The input is read and checked whole before the password is asked.
  if (options.dir.empty()) {
    const std::string& source = options.json.empty() ? options.env : options.json;
    if (source == "-") claim_standard_input(context, "import");
    const Secret input = read_input(source);
    if (!options.json.empty()) {
      read_json(input.view(), entries);
    } else {
      read_env(input.view(), entries);
    }
    skip_empty(entries, tally);
  } else {
    tree = std::make_unique<Tree>(options.dir);
    files = checked_files(context, *tree, options.dir, tally);
  }
  SafeHandle safe = open_checked(context, "import");
  const std::string backup = safe->removal_backup_path();
  const std::pair<dev_t, ino_t> backup_before = identity(backup);
  if (options.dir.empty()) {
    add_batch(*safe, context, options, entries, tally);
  } else {
    try {
      import_dir(*safe, context, options, *tree, files, tally);
    } catch (const Failure& failure) {
      // A file that changed after the check stops the import at its batch;
      // what earlier batches wrote is in the store, and the user must hear
      // so rather than read "nothing added" into the failure.
      const std::size_t done = tally.added + tally.replaced;
      if (done == 0) throw;
      const std::pair<dev_t, ino_t> backup_now = identity(backup);
      // "Unchanged" speaks of the failed batch alone; the batches before it
      // did change the store.
      std::string what = failure.what();
      const std::size_t unchanged = what.find(kStoreUnchanged);
      if (unchanged != std::string::npos) {
        what.replace(unchanged, kStoreUnchanged.size(), "; that batch did not change the store");
      }
      throw Failure(failure.status(),
                    what + "; the import stopped there: " +
                        std::to_string(done) + (done == 1 ? " entry was" : " entries were") +
                        " added or replaced before it and stay so, the rest was not added" +
                        (backup_now.second != 0 && backup_now != backup_before
                             ? "; " + tool::quoted(backup) +
                                   " holds the store as it was before the import"
                             : std::string()));
    }
  }
  if (!context.quiet) {
    note("import: " + std::to_string(tally.added) + " added, " +
         std::to_string(tally.replaced) + " replaced, " + std::to_string(tally.skipped) +
         " skipped" +
         (tally.empty > 0 ? ", " + std::to_string(tally.empty) + " empty left out" : ""));
  }
  // Every batch is a rewrite, so an import that only added entries leaves a
  // backup as well: a full copy of the store that opens with today's
  // password, which the user must hear about (a streamed file alone is
  // appended and leaves none). A backup of a store that held no entry has
  // nothing to restore: it is not kept.
  off_t backup_size = -1;
  const std::pair<dev_t, ino_t> backup_now = identity(backup, &backup_size);
  if (backup_now.second != 0 && backup_now != backup_before &&
      backup_size == empty_store_size(backup) && tally.replaced == 0) {
    unlink(backup.c_str());
  } else if (tally.replaced > 0) {
    report_backup(context, backup, options.drop_backup, "still holds the replaced values");
  } else if (tally.added > 0 && backup_now.second != 0) {
    report_backup(context, backup, options.drop_backup,
                  "holds the store as it was before the import");
  }
  return kOk;
}

}  // namespace

CommandRun add_import_command(CLI::App& sub, Context& context) {
  auto options = std::make_shared<ImportOptions>();
  CLI::App* command = &sub;
  auto* json = command->add_option("--json", options->json,
                                   "A JSON object of names and values (strings, or "
                                   "{\"base64\": \"...\"})")
                   ->type_name("FILE");
  auto* env = command->add_option("--env", options->env, "NAME=value lines in dotenv form")
                  ->type_name("FILE");
  auto* dir = command->add_option("--dir", options->dir,
                                  "Every regular file below DIR, named by its path below "
                                  "DIR; read in bounded batches, every file opened first")
                  ->type_name("DIR");
  json->excludes(env)->excludes(dir);
  env->excludes(dir);
  command->add_flag("--replace", options->replace,
                    "Replace the values of stored names, in the same step as the adds");
  command->add_flag("--drop-backup", options->drop_backup,
                    "Delete the backup (the store as it was before the import, replaced "
                    "values included) once the import succeeded");
  return [&context, options] {
                    if (options->json.empty() && options->env.empty() && options->dir.empty()) {
                      throw Failure(kUsage, "import: give --json FILE, --env FILE or --dir DIR");
                    }
                    return run_import(context, *options);
                  };
}

}  // namespace kel::tool
