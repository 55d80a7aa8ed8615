// The records a one-name lookup read past on its way to its name, kept
// beside the index instead of in it. Entering a name into the index costs
// a hash, an allocation and, when the Store dies, a wipe and a free: more
// than a record's whole share of a lookup besides opening its name. A
// one-shot lookup (the tool's get) never needs those names, so they wait
// here, and the scan enters them, in file order, before it reads on or
// completes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "kel/item.h"

namespace kel::detail {

class PassedRecords {
 public:
  PassedRecords() = default;
  PassedRecords(const PassedRecords&) = delete;
  PassedRecords& operator=(const PassedRecords&) = delete;
  ~PassedRecords() { clear(); }

  void add(const std::string& name, std::int64_t value_offset, std::uint32_t value_length);
  bool empty() const { return count_ == 0; }
  std::size_t size() const { return count_; }
  // Enters every record into `index` in the order they were added (so the
  // first record of a name still wins), then forgets them.
  void enter_into(std::unordered_map<std::string, Item>& index);
  // Forgets every record, wiping the names.
  void clear();

 private:
  // Records lie packed one after the other in blocks that never move or
  // grow, so that no copy of a plain name is left behind in memory given
  // back unwiped: the name's length byte, the name, value_offset and
  // value_length.
  struct Block {
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t used = 0;
  };
  std::vector<Block> blocks_;
  std::size_t count_ = 0;
};

}  // namespace kel::detail
