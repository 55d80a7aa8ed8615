// Where `get -o` puts a value.
//
// A regular file appears under its name only once its content is complete
// and trusted. Where the file system allows, the bytes go to an unnamed file
// (O_TMPFILE) in the target's own directory, which is given its name only
// after the value authenticated: if the process dies on the way, by any
// signal, the kernel drops the file and no plain text stays on disk.
// Elsewhere a private temporary file (mode 0600) is used and removed when
// the value fails, and on every catchable signal.
//
// A character device, FIFO or socket (say /dev/null) is written directly and
// never replaced; the caller must then write only authenticated bytes.
// Nothing but a regular file or a symbolic link is ever replaced, and never
// a file that is one of `protected_paths` (the store and its backups).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "remove_on_signal.h"
#include "streams.h"

namespace kel::tool {

class OutputFile {
 public:
  // Fails with kExists when `path` exists and `replace` is false, kRejected
  // when it is one of `protected_paths` (same device and inode), and
  // kFileError when it cannot be made or opened.
  OutputFile(const std::string& path, bool replace,
             const std::vector<std::string>& protected_paths);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  int fd() const { return fd_.get(); }
  // True for a device, FIFO or socket written in place.
  bool direct() const { return direct_; }
  // Syncs the data, gives the file its name (refusing to replace an existing
  // file unless allowed, and never a protected one) and syncs the directory.
  // A failed directory sync is reported: the name may not survive a crash.
  void commit();

 private:
  void open_direct(int type);
  void open_unnamed();
  void open_named();
  void check_target(bool must_be_absent) const;
  void link_unnamed(const std::string& name) const;

  std::string path_;
  std::string directory_;
  std::string base_;
  std::string temp_path_;  // the named temporary file, when one is used
  std::vector<std::string> protected_;
  bool replace_;
  bool direct_ = false;
  bool committed_ = false;
  UniqueFd fd_;
  std::optional<RemoveOnSignal> removal_;  // of the named temporary file
};

}  // namespace kel::tool
