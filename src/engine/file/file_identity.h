// Which file a path named when it was looked at: enough to tell that the
// file now at the path is another one, or the same one changed since.
#pragma once

#include <sys/types.h>

#include <ctime>

namespace kel::detail {

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  timespec modified{0, 0};
  timespec status_changed{0, 0};
  bool valid = false;
};

}  // namespace kel::detail
