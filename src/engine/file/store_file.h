// How the store file is held open.
#pragma once

namespace kel::detail {

struct StoreFile {
  // The Store's store_fd could only be opened read-only (permissions, a
  // read-only file system).
  bool read_only = false;
};

}  // namespace kel::detail
