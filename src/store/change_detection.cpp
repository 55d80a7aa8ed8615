#include <sys/stat.h>

#include "kel/store.h"
#include "store/current_file.h"

namespace kel {

bool Store::is_store_changed() {
  struct stat status {};
  if (::stat(file_path.c_str(), &status) != 0) return false;
  if (!indexed_file.valid) return true;
  return !detail::same_identity(detail::identity_of(status), indexed_file);
}

}  // namespace kel
