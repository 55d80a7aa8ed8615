// The store a command works on when neither -s nor KEL_SAFE_STORE names
// one: default.safe in kel-safe's own folder of the user's data directory,
// placed by the XDG base directory rules. Every command, the agent and its
// clients take the store from here, so all of them meet the same file.
// The rule is the tool's, not the library's (kel/store_files.h names the
// files of a store already chosen): where a program keeps its default store,
// under its own name, is that program's choice.
#pragma once

#include <string>

namespace kel::tool {

// "$XDG_DATA_HOME/kel-safe/default.safe", or, when that variable is unset,
// empty or not an absolute path (the rules say to ignore a relative one),
// "$HOME/.local/share/kel-safe/default.safe". Empty when HOME is unset or
// not absolute as well: then there is no default store.
std::string default_store_file();

// The failure's text when no store is given and there is no default one.
extern const char* const kNoStoreGiven;

// The absolute form of a store path as given, so that every message names
// the store in full: a relative one is taken from the working directory
// (lexically: a link on the way stays a link). Unchanged when it is
// absolute already or the working directory cannot be told.
std::string absolute_store_path(const std::string& path);

// Makes the folder of the default store `file` when it is missing: its
// parents as mkdir -p does (mode 0777 less the umask), kel-safe's own
// folder private to the user (0700). Nothing for any other store, whose
// folder is the user's to make. Throws a Failure (kStoreError), or
// (kRejected) when kel-safe's folder belongs to another user or others may
// write it.
void make_default_store_folder(const std::string& file);

}  // namespace kel::tool
