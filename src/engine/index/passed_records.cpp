#include "engine/index/passed_records.h"

#include <cstring>

#include "engine/records/format.h"
#include "store/secret.h"

namespace kel::detail {

namespace {

constexpr std::size_t kBlockSize = 64 * 1024;

// A passed record's bytes: its name's length byte, the name, value_offset
// and value_length.
constexpr std::size_t record_size(std::size_t name_length) { return 1 + name_length + 8 + 4; }
static_assert(kBlockSize >= record_size(format::kMaxNameLength));

}  // namespace

void PassedRecords::add(const std::string& name, std::int64_t value_offset,
                        std::uint32_t value_length) {
  const std::size_t size = record_size(name.size());
  if (blocks_.empty() || blocks_.back().used + size > kBlockSize) {
    blocks_.push_back(Block{std::make_unique_for_overwrite<unsigned char[]>(kBlockSize), 0});
  }
  Block& block = blocks_.back();
  unsigned char* at = block.bytes.get() + block.used;
  at[0] = static_cast<unsigned char>(name.size());
  std::memcpy(at + 1, name.data(), name.size());
  std::memcpy(at + 1 + name.size(), &value_offset, 8);
  std::memcpy(at + 1 + name.size() + 8, &value_length, 4);
  block.used += size;
  ++count_;
}

void PassedRecords::enter_into(std::unordered_map<std::string, Item>& index) {
  NameScratch scratch;  // wiped also when an insertion throws
  std::string& name = scratch.bytes;
  for (const Block& block : blocks_) {
    for (std::size_t i = 0; i < block.used;) {
      const unsigned char* at = block.bytes.get() + i;
      const std::size_t n = at[0];
      name.assign(reinterpret_cast<const char*>(at + 1), n);
      Item item;
      std::memcpy(&item.value_offset, at + 1 + n, 8);
      std::memcpy(&item.value_length, at + 1 + n + 8, 4);
      index.try_emplace(name, std::move(item));
      i += record_size(n);
    }
  }
  clear();
}

void PassedRecords::clear() {
  for (Block& block : blocks_) wipe(block.bytes.get(), block.used);
  blocks_.clear();
  count_ = 0;
}

}  // namespace kel::detail
