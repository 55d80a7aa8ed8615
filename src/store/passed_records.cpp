#include "store/passed_records.h"

#include <cstring>

#include "store/format.h"
#include "store/secret.h"

namespace kel::detail {

namespace {

constexpr std::size_t kBlockSize = 64 * 1024;
static_assert(kBlockSize >= format::kMaxNameLength);

}  // namespace

void PassedRecords::add(const std::string& name, std::int64_t value_offset,
                        std::uint32_t value_length) {
  if (blocks_.empty() || block_used_ + name.size() > kBlockSize) {
    blocks_.push_back(std::make_unique<unsigned char[]>(kBlockSize));
    block_used_ = 0;
  }
  Passed passed;
  passed.name = blocks_.back().get() + block_used_;
  passed.name_length = static_cast<unsigned>(name.size());
  passed.value_offset = value_offset;
  passed.value_length = value_length;
  records_.push_back(passed);
  std::memcpy(passed.name, name.data(), name.size());
  block_used_ += name.size();
}

void PassedRecords::enter_into(std::unordered_map<std::string, Item>& index) {
  std::string name;
  name.reserve(format::kMaxNameLength);
  for (const Passed& passed : records_) {
    name.assign(reinterpret_cast<const char*>(passed.name), passed.name_length);
    Item item;
    item.value_offset = passed.value_offset;
    item.value_length = passed.value_length;
    index.try_emplace(name, std::move(item));
  }
  name.resize(name.capacity());
  wipe(name.data(), name.size());
  clear();
}

void PassedRecords::clear() {
  for (std::size_t b = 0; b < blocks_.size(); ++b) {
    wipe(blocks_[b].get(), b + 1 == blocks_.size() ? block_used_ : kBlockSize);
  }
  blocks_.clear();
  block_used_ = 0;
  records_.clear();
}

}  // namespace kel::detail
