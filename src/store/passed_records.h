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
  bool empty() const { return records_.empty(); }
  std::size_t size() const { return records_.size(); }
  // Enters every record into `index` in the order they were added (so the
  // first record of a name still wins), then forgets them.
  void enter_into(std::unordered_map<std::string, Item>& index);
  // Forgets every record, wiping the names.
  void clear();

 private:
  struct Passed {
    unsigned char* name = nullptr;
    unsigned name_length = 0;
    std::int64_t value_offset = 0;
    std::uint32_t value_length = 0;
  };
  // Names go into fixed blocks that never move, so no copy of a plain
  // name is ever left behind in memory given back unwiped.
  std::vector<std::unique_ptr<unsigned char[]>> blocks_;
  std::size_t block_used_ = 0;
  std::vector<Passed> records_;
};

}  // namespace kel::detail
