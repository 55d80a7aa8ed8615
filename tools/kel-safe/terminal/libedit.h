// libedit, loaded when the interactive shell first needs it.
//
// Every other command (a `get`, a `version`) would otherwise pay for
// mapping and relocating libedit and the three libraries it pulls in at
// each start, which was a good part of the tool's start-up time. The shell
// loads it once, for the life of the process.
#pragma once

#include <histedit.h>

namespace kel::tool {

struct Libedit {
  decltype(&::el_init) el_init;
  decltype(&::el_end) el_end;
  decltype(&::el_gets) el_gets;
  decltype(&::el_get) el_get;
  decltype(&::el_set) el_set;
  decltype(&::el_wset) el_wset;
  decltype(&::el_line) el_line;
  decltype(&::el_insertstr) el_insertstr;
  decltype(&::el_deletestr) el_deletestr;
  decltype(&::history_init) history_init;
  decltype(&::history_end) history_end;
  decltype(&::history) history;
};

// The loaded library's functions. Throws a Failure (internal error) naming
// the library when it cannot be loaded or lacks one of them.
const Libedit& libedit();

}  // namespace kel::tool
