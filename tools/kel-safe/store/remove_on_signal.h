// Plain-text files a command has made but not finished (the temporary file
// of `get -o`, the directory of `export --dir`) must not outlive the
// command when a signal ends it. While a RemoveOnSignal lives, every signal
// that would end the process and can be caught first removes the paths
// given to it, the last one first (a file before the directory it is in),
// and then ends the process as the signal would have.
//
// One RemoveOnSignal exists at a time in this program.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace kel::tool {

struct RemovalPath;  // remove_on_signal.cpp

class RemoveOnSignal {
 public:
  // Catches the signals; the handlers before are kept.
  RemoveOnSignal();
  // Forgets every path and puts the earlier handlers back.
  ~RemoveOnSignal();
  RemoveOnSignal(const RemoveOnSignal&) = delete;
  RemoveOnSignal& operator=(const RemoveOnSignal&) = delete;

  // Removes `path` (with rmdir when `directory`) should a signal end the
  // process: relative to the directory open as `at`, or to the working
  // directory with AT_FDCWD. The descriptor must stay open while this
  // lives. A path that is not there (yet) costs nothing.
  void add(int at, const std::string& path, bool directory);
  // Forgets every path: what they name is finished and stays.
  void clear();

 private:
  std::vector<std::unique_ptr<RemovalPath>> paths_;
};

}  // namespace kel::tool
