// The subcommands of kel-safe. Each returns the process's exit status or
// throws a Failure carrying one.
#pragma once

#include <string>
#include <vector>

#include "password.h"

namespace kel::tool {

struct Context {
  std::string store;  // as given: ".safe" is appended unless present
  PasswordOptions passwords;
  bool quiet = false;
};

int cmd_create(const Context& context);
int cmd_verify(const Context& context);
int cmd_passwd(const Context& context, bool drop_backup);
int cmd_add(const Context& context, const std::string& name,
            const std::string& file);
int cmd_get(const Context& context, const std::string& name,
            const std::string& output, bool force);
int cmd_exists(const Context& context, const std::string& name);
int cmd_ls(const Context& context, bool json, bool null_separated);
int cmd_rm(const Context& context, const std::string& name, bool drop_backup);
int cmd_version();

// The file a store name stands for: the name itself when it ends in
// ".safe", otherwise the name with ".safe" appended.
std::string store_file(const std::string& store);

// Names as a JSON array of strings. Names are raw bytes; bytes that do not
// form valid UTF-8 become U+FFFD.
std::string json_names(const std::vector<std::string>& names);

}  // namespace kel::tool
