#include "get_clip_options.h"

#include "clipboard.h"
#include "session.h"
#include "status.h"

namespace kel::tool {

void add_clip_options(CLI::App& sub, GetClipArgs& args,
                      std::initializer_list<CLI::Option*> excluded) {
  auto* clip = sub.add_flag("--clip", args.clip,
                            "Copy the value to the clipboard (wl-copy, xclip or xsel, "
                            "given it on standard input) instead of printing it");
  for (CLI::Option* other : excluded) clip->excludes(other);
  sub.add_option("--clear-after", args.clear_after,
                 "With --clip: empty the clipboard after D (such as 45s or 2m; 0: "
                 "never), unless something else was copied meanwhile (default: 45s)")
      ->type_name("D")
      ->needs(clip);
}

int run_get_clip(const Context& context, const std::vector<std::string>& names,
                 const GetClipArgs& args, std::size_t line) {
  const std::chrono::seconds delay = parse_duration(args.clear_after, "get --clear-after");
  if (names.size() != 1) throw Failure(kUsage, "get --clip: give one NAME");
  return cmd_get_clip(context, names.front(), delay, line);
}

}  // namespace kel::tool
