// kel-safe export: every entry (or those under a prefix, named by the rest
// of their names) in clear, as one JSON object, as dotenv lines, or as one
// file per entry in a new directory.
// Nothing is written before every value has authenticated, except with
// --dir, where each file holds only authenticated bytes and a failure
// removes the whole directory again.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "entry_selection.h"
#include "remove_on_signal.h"
#include "status.h"
#include "steering_variables.h"
#include "streams.h"
#include "subcommand.h"
#include "value_formats.h"

namespace kel::tool {

namespace {

struct ExportOptions {
  bool json = false;
  bool env = false;
  std::string dir;
  std::string prefix;
  bool yes = false;
};

// The parts of a name as a path below the directory. A part that is empty,
// "." or "..", or holds a zero byte, would put the file elsewhere or
// nowhere: refused.
std::vector<std::string> path_parts(const std::string& name) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = name.find('/', start);
    parts.push_back(name.substr(start, slash - start));
    const std::string& part = parts.back();
    // A zero byte would end the file name early, and the value would land
    // under another name.
    if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos) {
      throw Failure(kRejected, "export: the name " + tool::quoted(name) +
                                   " is not a path inside the directory");
    }
    if (slash == std::string::npos) return parts;
    start = slash + 1;
  }
}

// Every name is checked before the directory is made: one that cannot be a
// file inside it, or one that is the directory of another ("a" and "a/b").
void check_dir_names(const std::vector<std::string>& names) {
  const std::set<std::string> all(names.begin(), names.end());
  for (const std::string& name : names) {
    path_parts(name);
    for (std::size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
      if (all.count(name.substr(0, slash)) != 0) {
        throw Failure(kRejected, "export: " + tool::quoted(name.substr(0, slash)) +
                                     " would be both a file and the directory of " +
                                     tool::quoted(name));
      }
    }
  }
}

// The directory an export makes, and everything made in it so far. Unless
// the export finishes, all of it is removed again: the files hold secrets
// in clear, and a half export is no use to anyone.
class ExportTree {
 public:
  // Makes `dir`, which must not exist, with mode 0700.
  explicit ExportTree(std::string dir) : dir_(std::move(dir)) {
    if (mkdir(dir_.c_str(), 0700) != 0) {
      if (errno == EEXIST) {
        throw Failure(kExists,
                      "export: " + tool::quoted(dir_) + " exists; --dir makes a new directory");
      }
      throw Failure(kFileError, "export: cannot make " + tool::quoted(dir_) + ": " + strerror(errno));
    }
    // Ctrl-C, a hang-up or a kill while the files are written removes
    // them all as a failure does.
    removal_.add(AT_FDCWD, dir_, true);
    top_ = UniqueFd(open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!top_ || fchmod(top_.get(), 0700) != 0) {
      const int failure = errno;
      if (!top_) rmdir(dir_.c_str());
      throw Failure(kFileError, "export: cannot open " + tool::quoted(dir_) + ": " + strerror(failure));
    }
  }
  ~ExportTree() {
    if (done_ || !top_) return;
    for (auto made = made_.rbegin(); made != made_.rend(); ++made) {
      unlinkat(top_.get(), made->first.c_str(), made->second ? AT_REMOVEDIR : 0);
    }
    removal_.clear();  // before the descriptor its paths are relative to
    top_.reset();
    rmdir(dir_.c_str());
  }
  ExportTree(const ExportTree&) = delete;
  ExportTree& operator=(const ExportTree&) = delete;

  // A new file (mode 0600) for the entry whose name has these parts, in the
  // subdirectories they give, made as needed (mode 0700).
  UniqueFd new_file(const std::vector<std::string>& parts) {
    std::string relative;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
      relative += parts[i];
      removal_.add(top_.get(), relative, true);  // before it exists
      if (mkdirat(top_.get(), relative.c_str(), 0700) == 0) {
        made_.emplace_back(relative, true);
      } else if (errno != EEXIST) {
        throw Failure(kFileError, "export: cannot make " + shown(relative) + ": " + strerror(errno));
      }
      relative += '/';
    }
    relative += parts.back();
    // Every directory on the way was made by this export, in a directory
    // only its owner may change, so none of them can be a planted link.
    removal_.add(top_.get(), relative, false);
    UniqueFd file(openat(top_.get(), relative.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file) {
      throw Failure(kFileError, "export: cannot make " + shown(relative) + ": " + strerror(errno));
    }
    made_.emplace_back(relative, false);
    if (fchmod(file.get(), 0600) != 0) {
      throw Failure(kFileError, "export: cannot make " + shown(relative) + ": " + strerror(errno));
    }
    return file;
  }

  std::string shown(const std::string& relative) const {
    return tool::quoted(dir_ + "/" + relative);
  }
  void keep() {
    done_ = true;
    removal_.clear();
  }

 private:
  std::string dir_;
  UniqueFd top_;
  std::vector<std::pair<std::string, bool>> made_;  // path below dir_, is a directory
  bool done_ = false;
  RemoveOnSignal removal_;
};

// Each entry of `names` into the file its name below the prefix
// (`below`, one for each) gives.
void export_to_dir(kel::Safe& safe, const std::vector<std::string>& names,
                   const std::vector<std::string>& below, const std::string& dir, bool quiet,
                   const std::string& path) {
  check_dir_names(below);
  ExportTree tree(dir);
  for (std::size_t i = 0; i < names.size(); ++i) {
    UniqueFd file = tree.new_file(path_parts(below[i]));
    std::string error;
    if (safe.get_entry_to_stream(names[i], file.get(), error) != 0) {
      if (safe.status() == kel::Status::caller_file) {
        throw Failure(kFileError, "export: cannot write " + tree.shown(below[i]) + ": " + error);
      }
      library_failure("export", safe.status(), error, path, names[i]);
    }
  }
  tree.keep();
  if (!quiet) {
    note("exported " + std::to_string(names.size()) + " entries to " + tool::quoted(dir));
  }
}

int run_export(const Context& context, const ExportOptions& options) {
  const std::string path = store_file(context.store);
  SafeHandle safe = open_checked(context, "export");
  const std::vector<std::string> names = names_under(*safe, options.prefix, "export", path);
  std::vector<std::string> below;
  for (const std::string& name : names) {
    below.push_back(name_below(options.prefix, name, "export"));
    if (options.env && !valid_variable_name(below.back())) {
      throw Failure(kRejected, "export: " + tool::quoted(below.back()) + " (for " +
                                   tool::quoted(name) +
                                   ") is not a variable name (use --json or --dir, or "
                                   "get --env --as VAR=NAME)");
    }
    // Whatever reads the lines (set -a; . FILE, a dotenv loader) passes
    // them on to every program it starts: the store's names may not steer
    // those programs, as they may not under run --prefix.
    if (options.env && steers_programs(below.back())) {
      throw Failure(kRejected, "export: the entry " + tool::quoted(name) + " would set " +
                                   below.back() + ", a variable that steers how programs run; " +
                                   "one is written only when named: get --env --as " +
                                   below.back() + "=" + name);
    }
  }
  const std::string where = options.dir.empty() ? "standard output" : tool::quoted(options.dir);
  confirm_clear_text(options.yes, "Write " + std::to_string(names.size()) +
                                      " secrets in clear to " + where + "?");
  if (!options.dir.empty()) {
    export_to_dir(*safe, names, below, options.dir, context.quiet, path);
    return kOk;
  }
  const std::vector<kel::Entry> entries = read_entries(*safe, names, "export", path);
  std::vector<NamedValue> values;
  values.reserve(entries.size());
  for (std::size_t i = 0; i < names.size(); ++i) values.emplace_back(below[i], entries[i].value());
  Secret out;
  if (options.json) {
    write_json(values, out);
  } else {
    for (const auto& [name, value] : values) write_env_line(name, value, out);
  }
  write_data(out.view());
  return kOk;
}

}  // namespace

CommandRun add_export_command(CLI::App& sub, Context& context) {
  auto options = std::make_shared<ExportOptions>();
  CLI::App* command = &sub;
  auto* json = command->add_flag("--json", options->json,
                                 "One JSON object keyed by name; a value that is not "
                                 "UTF-8 is {\"base64\": \"...\"}");
  auto* env = command->add_flag("--env", options->env,
                                "NAME='value' lines (dotenv), as get --env writes them");
  auto* dir = command->add_option("--dir", options->dir,
                                  "One file (mode 0600) per entry in the new directory DIR "
                                  "(mode 0700); a '/' in a name makes a subdirectory")
                  ->type_name("DIR");
  json->excludes(env)->excludes(dir);
  env->excludes(dir);
  command->add_option("--prefix", options->prefix,
                      "Only the names that begin with P, each under the rest of its name "
                      "(app/db under app/ is db)")
      ->type_name("P");
  command->add_flag("-y,--yes", options->yes, "Do not ask for confirmation");
  return [&context, options] {
                    if (!options->json && !options->env && options->dir.empty()) {
                      throw Failure(kUsage, "export: give --json, --env or --dir DIR");
                    }
                    return run_export(context, *options);
                  };
}

}  // namespace kel::tool
