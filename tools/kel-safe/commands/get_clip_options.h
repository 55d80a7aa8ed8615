// get's --clip and --clear-after (the work is store/clipboard.cpp).
#pragma once

#include <CLI/CLI.hpp>

#include <initializer_list>
#include <string>
#include <vector>

#include "commands.h"

namespace kel::tool {

struct GetClipArgs {
  bool clip = false;
  std::string clear_after = "45s";
};

// Adds --clip, which none of `excluded` may come with, and --clear-after.
void add_clip_options(CLI::App& sub, GetClipArgs& args,
                      std::initializer_list<CLI::Option*> excluded);

// get NAME --clip [--clear-after D] [--line N] (line 0: the whole value).
int run_get_clip(const Context& context, const std::vector<std::string>& names,
                 const GetClipArgs& args, std::size_t line = 0);

}  // namespace kel::tool
