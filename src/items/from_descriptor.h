// Values streamed from a descriptor the caller opened itself, so that what
// is stored is exactly the file the caller examined: no path is looked up
// again between the caller's checks and the read. The descriptor stays the
// caller's; it is read, never closed. `label` names the source in error
// texts ("Could not read file: <label> - ...").
#pragma once

#include <string>

#include "kel/progress.h"

namespace kel {

class Store;

namespace detail {

// As Store::add_item_from_file: a regular file is read whole, from its
// start, up to the size it had when the call began; anything else is read
// from the descriptor's position to its end.
int add_item_from_descriptor(Store& store, const std::string& name, int fd,
                             const std::string& label, std::string& error,
                             const Progress& progress);
// As Store::replace_item_from_file, in one rewrite of the store file: a
// regular file is read whole, from its start; anything else from the
// descriptor's position to its end.
int replace_item_from_descriptor(Store& store, const std::string& name, int fd,
                                 const std::string& label, bool add_if_absent,
                                 std::string& error);

}  // namespace detail
}  // namespace kel
