// The cost of the C interface (kel/kel.h) over the C++ call it wraps: a
// get of a small value through kel_safe_get and kel_safe_get_secret, each
// beside Safe::get_entry on the same store in the same run. The counter
// x_get_entry is the C call's time over the C++ call's; the layer is worth
// keeping thin while it stays below 1.2. bench/python_get.py measures the
// same get through the Python package.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "bench_support.h"
#include "kel/kel.h"
#include "kel/safe.h"

namespace {

using kel::bench::kPassword;

constexpr int kCalls = 2000;

// A store holding "value" of `size` bytes; its path.
std::string store_with_value(std::size_t size) {
  const std::string path = kel::bench::fresh_store_path("c-api");
  kel::bench::create_store(path);
  kel::Safe safe(path, kPassword);
  std::string error;
  if (safe.add_entry(kel::Entry("value", kel::bench::filler(size, 7)), error) != 0) std::abort();
  return path;
}

// Seconds per Safe::get_entry of "value", with a fresh Entry each time as
// the C call makes one.
double cpp_get_seconds(const std::string& path) {
  kel::Safe safe(path, kPassword);
  std::string error;
  return kel::bench::median_seconds(5, [&] {
           for (int i = 0; i < kCalls; ++i) {
             kel::Entry entry("value");
             if (safe.get_entry(entry, error) != 0) std::abort();
             benchmark::DoNotOptimize(entry.raw_value());
           }
         }) /
         kCalls;
}

void BM_CApiGet(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const std::string path = store_with_value(size);
  const double baseline = cpp_get_seconds(path);
  kel_safe* safe = nullptr;
  if (kel_safe_open(&safe, path.c_str(), kPassword.data(), kPassword.size()) != KEL_OK) {
    state.SkipWithError(kel_safe_error(safe));
    kel_safe_close(safe);
    return;
  }
  std::string buffer(size, '\0');
  const bool secret = state.range(1) != 0;
  kel::bench::LoopClock clock;
  clock.start();
  for (auto _ : state) {
    if (secret) {
      kel_secret* value = nullptr;
      if (kel_safe_get_secret(safe, "value", 5, &value) != KEL_OK) std::abort();
      benchmark::DoNotOptimize(kel_secret_data(value));
      kel_secret_free(value);
    } else {
      std::size_t length = 0;
      if (kel_safe_get(safe, "value", 5, buffer.data(), buffer.size(), &length) != KEL_OK) {
        std::abort();
      }
      benchmark::DoNotOptimize(buffer.data());
    }
  }
  state.counters["x_get_entry"] = clock.seconds_per_iteration(state.iterations()) / baseline;
  kel_safe_close(safe);
}
// Value sizes of 32 and 256 bytes, into the caller's buffer (0) and as a
// kel_secret (1).
BENCHMARK(BM_CApiGet)
    ->Args({32, 0})
    ->Args({32, 1})
    ->Args({256, 0})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
