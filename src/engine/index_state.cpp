// IndexState's special members live here, where IndexScan is complete.
#include "engine/index_state.h"

#include "store/index_scan.h"

namespace kel::detail {

IndexState::IndexState() = default;
IndexState::IndexState(IndexState&&) noexcept = default;
IndexState& IndexState::operator=(IndexState&&) noexcept = default;
IndexState::~IndexState() = default;

}  // namespace kel::detail
