// Progress reports for long transfers (importing a file, writing a value out).
#pragma once

#include <cstdint>
#include <functional>

namespace kel {

// Called now and then during a transfer with the bytes done so far and the
// total; the last call has done == total. It must not throw.
using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

}  // namespace kel
