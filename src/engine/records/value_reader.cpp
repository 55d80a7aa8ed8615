#include "env/env.h"
#include "engine/records/value_reader.h"

#include <errno.h>
#include <sys/stat.h>

#include "engine/keyring/binding.h"
#include "engine/index/current_file.h"
#include "engine/records/format.h"
#include "engine/records/record_codec.h"
#include "engine/file/io.h"
#include "store/status_note.h"

namespace kel::detail {

int locate_value(Store& store, const std::string& name, ValueLocation& where,
                 const unsigned char* key, std::string& error) {
  const Item* item = nullptr;
  const int found = find_item(store, name, item, key, error);
  if (found < 0) return -1;
  if (found == 0) {
    detail::fail(error, Status::not_found, "Item not found");
    return -1;
  }
  where.offset = item->value_offset;
  where.length = item->value_length;
  where.ad = binding_of(store).value_ad(name);
  struct stat status {};
  if (detail::env().fstat(store.store_fd, &status) != 0) {
    error = "Error, could not get item - " + io::error_text(errno);
    return -1;
  }
  const long long end = where.offset + codec::value_part_size(where.length);
  if (where.offset < format::kHeaderSize || end > status.st_size) {
    detail::fail(error, Status::damaged, "Could not decrypt value cipher");
    return -1;
  }
  return 0;
}

}  // namespace kel::detail
