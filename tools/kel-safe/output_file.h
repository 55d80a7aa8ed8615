// A new file that appears under its name only once its content is complete
// and trusted. The bytes go to a private temporary file (mode 0600) in the
// target's own directory, so that the final rename cannot cross file systems;
// commit() syncs it and puts it in place, and a file never committed is
// removed, leaving nothing behind, also when SIGINT, SIGTERM, SIGHUP or
// SIGQUIT ends the process while the value is being written.
#pragma once

#include <string>

#include "streams.h"

namespace kel::tool {

class OutputFile {
 public:
  // Fails with kExists when `path` exists and `replace` is false, and with
  // kFileError when the temporary file cannot be made.
  OutputFile(const std::string& path, bool replace);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  int fd() const { return fd_.get(); }
  // Syncs the data, moves the file to its name (refusing to replace an
  // existing file unless allowed) and syncs the directory.
  void commit();

 private:
  std::string path_;
  std::string directory_;
  std::string temp_path_;
  bool replace_;
  bool committed_ = false;
  UniqueFd fd_;
};

}  // namespace kel::tool
