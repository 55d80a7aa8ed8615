// get's --qr (the work is store/qr_code.cpp).
#pragma once

#include <CLI/CLI.hpp>

#include <initializer_list>
#include <string>
#include <vector>

#include "commands.h"

namespace kel::tool {

// Adds --qr, which none of `excluded` may come with, bound to `qr`.
CLI::Option* add_qr_option(CLI::App& sub, bool& qr, std::initializer_list<CLI::Option*> excluded);

// get NAME --qr [--force] [--line N] (line 0: the whole value).
int run_get_qr(const Context& context, const std::vector<std::string>& names, bool force,
               std::size_t line = 0);

}  // namespace kel::tool
