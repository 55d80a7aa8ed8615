// IndexState's special members live here, where IndexScan is complete.
#include "engine/index/index_state.h"

#include "engine/index/index_scan.h"

namespace kel::detail {

IndexState::IndexState() = default;
IndexState::IndexState(IndexState&&) noexcept = default;
IndexState& IndexState::operator=(IndexState&&) noexcept = default;
IndexState::~IndexState() = default;

}  // namespace kel::detail
