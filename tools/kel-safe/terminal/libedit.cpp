#include "libedit.h"

#include <dlfcn.h>

#include <memory>
#include <string>

#include "status.h"

namespace kel::tool {

namespace {

struct LibraryClose {
  void operator()(void* handle) const { dlclose(handle); }
};
using LibraryHandle = std::unique_ptr<void, LibraryClose>;

[[noreturn]] void cannot_load(const std::string& why) {
  throw Failure(kInternal, std::string("shell: cannot load line editing (") +
                               KEL_SAFE_LIBEDIT_SONAME "): " + why);
}

template <typename Function>
void bind(void* handle, const char* name, Function& function) {
  void* symbol = dlsym(handle, name);
  if (symbol == nullptr) cannot_load(std::string("no ") + name);
  function = reinterpret_cast<Function>(symbol);
}

Libedit load(LibraryHandle& handle) {
  handle.reset(dlopen(KEL_SAFE_LIBEDIT_SONAME, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
  if (!handle) {
    const char* why = dlerror();
    cannot_load(why != nullptr ? why : "not found");
  }
  Libedit functions{};
  void* h = handle.get();
  bind(h, "el_init", functions.el_init);
  bind(h, "el_end", functions.el_end);
  bind(h, "el_gets", functions.el_gets);
  bind(h, "el_get", functions.el_get);
  bind(h, "el_set", functions.el_set);
  bind(h, "el_wset", functions.el_wset);
  bind(h, "el_line", functions.el_line);
  bind(h, "el_insertstr", functions.el_insertstr);
  bind(h, "el_deletestr", functions.el_deletestr);
  bind(h, "history_init", functions.history_init);
  bind(h, "history_end", functions.history_end);
  bind(h, "history", functions.history);
  return functions;
}

}  // namespace

const Libedit& libedit() {
  // Never unloaded (RTLD_NODELETE): libedit and the terminal library keep
  // what they allocate in their own globals, and unmapping them at exit
  // would leave those blocks unreachable, which leak checkers report.
  static LibraryHandle handle;
  static const Libedit functions = load(handle);
  return functions;
}

}  // namespace kel::tool
