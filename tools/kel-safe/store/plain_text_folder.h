// Where `edit` puts a value in clear for the editor: one file (0600) in a
// fresh folder (0700) of its own, on a file system that lives in memory, so
// that nothing of the value reaches a disk where a removed file's blocks
// stay readable. Whatever the editor leaves in the folder (a swap file, a
// backup copy) is overwritten and removed with it.
#pragma once

#include <string>
#include <string_view>

#include "remove_on_signal.h"
#include "secret.h"
#include "streams.h"

namespace kel::tool {

// The folder the plain text goes under: $XDG_RUNTIME_DIR, else /dev/shm.
// Throws a Failure for `what` when it cannot be examined (kFileError), or
// when it is not memory-backed (tmpfs or ramfs) and `allow_disk` is not
// set (kUsage: the user chooses another folder or allows the disk).
std::string plain_text_base(bool allow_disk, const std::string& what);

class PlainTextFolder {
 public:
  // Makes a fresh folder under `base` and in it the file that holds
  // `text`. Throws a Failure (kFileError) for `what`, leaving nothing
  // behind. Should a signal end the process meanwhile (other than those
  // the caller holds), the file and the folder are removed.
  PlainTextFolder(const std::string& base, std::string_view text, const std::string& what);
  // remove().
  ~PlainTextFolder();
  PlainTextFolder(const PlainTextFolder&) = delete;
  PlainTextFolder& operator=(const PlainTextFolder&) = delete;

  const std::string& file() const { return file_; }

  // What the file holds now (an editor may have replaced it by another
  // file of the same name). Throws a Failure (kFileError) when it is gone
  // or is not a plain file.
  Secret read() const;

  // Overwrites every file in the folder with zero bytes, as many as it
  // holds, syncs it, removes it, and removes the folder. Nothing is left
  // to do a second time.
  void remove() noexcept;

 private:
  std::string folder_;
  std::string file_;
  UniqueFd folder_fd_;
  RemoveOnSignal on_signal_;
};

}  // namespace kel::tool
