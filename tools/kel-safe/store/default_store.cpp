#include "default_store.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "status.h"

namespace kel::tool {

namespace {

constexpr const char* kFolder = "/kel-safe";
constexpr const char* kFile = "/default.safe";

// A variable's value when it is an absolute path, else empty.
std::string absolute_variable(const char* name) {
  const char* value = getenv(name);
  if (value == nullptr || value[0] != '/') return std::string();
  return value;
}

}  // namespace

const char* const kNoStoreGiven =
    "no store given: use -s PATH or set KEL_SAFE_STORE (the default store needs HOME or "
    "XDG_DATA_HOME set to an absolute path)";

std::string default_store_file() {
  std::string data = absolute_variable("XDG_DATA_HOME");
  if (data.empty()) {
    const std::string home = absolute_variable("HOME");
    if (home.empty()) return std::string();
    data = home + (home.back() == '/' ? "" : "/") + ".local/share";
  }
  while (data.size() > 1 && data.back() == '/') data.pop_back();
  if (data == "/") data.clear();
  return data + kFolder + kFile;
}

std::string absolute_store_path(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  std::unique_ptr<char, decltype(&free)> here(getcwd(nullptr, 0), &free);
  if (!here || here.get()[0] != '/') return path;
  std::string rest = path;
  while (rest.compare(0, 2, "./") == 0) {
    const std::size_t next = rest.find_first_not_of('/', 2);
    if (next == std::string::npos) break;
    rest.erase(0, next);
  }
  std::string folder = here.get();
  if (folder.back() != '/') folder += '/';
  return folder + rest;
}

void make_default_store_folder(const std::string& file) {
  if (file.empty() || file != default_store_file()) return;
  const std::string own = file.substr(0, file.rfind('/'));
  // Each missing folder from the top down, as mkdir -p makes them.
  for (std::size_t slash = own.find('/', 1); slash != std::string::npos;
       slash = own.find('/', slash + 1)) {
    const std::string parent = own.substr(0, slash);
    if (mkdir(parent.c_str(), 0777) != 0 && errno != EEXIST) {
      throw Failure(kStoreError, "create: cannot make the folder " + quoted(parent) + ": " +
                                     strerror(errno));
    }
  }
  if (mkdir(own.c_str(), 0700) != 0 && errno != EEXIST) {
    throw Failure(kStoreError,
                  "create: cannot make the folder " + quoted(own) + ": " + strerror(errno));
  }
  // A folder made before, by someone else or opened up since, lets others
  // rename the store away or put an old copy in its place: refused, as a
  // password file others may write is.
  struct stat info {};
  if (stat(own.c_str(), &info) != 0) {
    throw Failure(kStoreError,
                  "create: cannot examine the folder " + quoted(own) + ": " + strerror(errno));
  }
  if (info.st_uid != geteuid()) {
    throw Failure(kRejected, "create: the folder " + quoted(own) +
                                 " belongs to another user: refused");
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    throw Failure(kRejected, "create: the folder " + quoted(own) +
                                 " may be written by other users: refused (chmod 700 it)");
  }
}

}  // namespace kel::tool
