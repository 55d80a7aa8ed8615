// kel-safe find PATTERN: the stored names that contain PATTERN, in any
// case, or that match it as a whole when it is a glob (it holds *, ? or
// [). Listed as ls lists them, with ls's options; exit 1 when none does,
// as grep does, so that a script can tell "no such name" from a failure.
#include <fnmatch.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "status.h"
#include "streams.h"
#include "subcommand.h"

namespace kel::tool {

namespace {

struct FindArgs {
  std::string pattern;
  bool json = false;
  bool null = false;
  bool long_format = false;
  bool escape = false;
  bool literal = false;
};

unsigned char folded(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

// ASCII letters fold; every other byte matches only itself. The name is
// compared where it lies, so that no copy of it is left to wipe.
bool contains_folded(const std::string& name, const std::string& pattern) {
  if (pattern.size() > name.size()) return false;
  for (std::size_t start = 0; start + pattern.size() <= name.size(); ++start) {
    std::size_t i = 0;
    while (i < pattern.size() && folded(name[start + i]) == folded(pattern[i])) ++i;
    if (i == pattern.size()) return true;
  }
  return false;
}

// A glob matches the whole name, '/' included ("web/*" finds every name
// under web/), in any case as the plain pattern does. A name holding a
// zero byte is matched as far as that byte, all fnmatch can see of it.
bool glob_matches(const std::string& name, const std::string& pattern) {
  return fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) == 0;
}

int run_find(const Context& context, const FindArgs& args) {
  if (args.pattern.empty()) {
    throw Failure(kUsage, "find: the PATTERN is empty (kel-safe ls lists every name)");
  }
  const bool glob = args.pattern.find_first_of("*?[") != std::string::npos;
  std::size_t found = 0;
  NameFilter filter{"find", [&args, glob, &found](const std::string& name) {
                      const bool match = glob ? glob_matches(name, args.pattern)
                                              : contains_folded(name, args.pattern);
                      found += match ? 1 : 0;
                      return match;
                    }};
  const int status =
      cmd_ls(context, args.json, args.null, "", args.long_format,
             args.escape || (!args.literal && isatty(data_fd()) == 1), filter);
  return status == kOk && found == 0 ? kFalse : status;
}

}  // namespace

CommandRun add_find_command(CLI::App& sub, Context& context) {
  auto args = std::make_shared<FindArgs>();
  sub.add_option("PATTERN", args->pattern,
                 "Part of a name, in any case; or a glob (*, ?, [...]) that the whole "
                 "name matches")
      ->required();
  sub.add_flag("-l,--long", args->long_format,
               "Put each value's length in bytes and a tab before its name");
  auto* json = sub.add_flag("--json", args->json, "Print a JSON array of strings, as ls --json");
  auto* null = sub.add_flag("-0,--null", args->null,
                            "End each name with a zero byte instead of a line end");
  json->excludes(null);
  auto* escape = sub.add_flag("-b,--escape", args->escape,
                              "Show a name that holds control bytes as $'...', as ls -b; the "
                              "default when standard output is a terminal");
  sub.add_flag("-N,--literal", args->literal, "Print names byte for byte, on a terminal too")
      ->excludes(escape);
  return [&context, args] { return run_find(context, *args); };
}

}  // namespace kel::tool
