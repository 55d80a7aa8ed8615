// Importing large files: time and how much the peak memory grows, measured
// in a child process so that earlier benchmarks' memory does not hide it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "kel/safe.h"
#include "kel/store.h"

namespace kel::bench {
namespace {

const std::string& source_file(std::uint64_t length, bool zeros) {
  static std::string path;
  if (path.empty()) {
    path = scratch_dir() + "/import-source";
    make_file(path, length, zeros);
  }
  return path;
}

void report(benchmark::State& state, const ChildResult& r, double* peak_kib) {
  state.SetIterationTime(r.seconds);
  if (static_cast<double>(r.rss_growth_kib) > *peak_kib) {
    *peak_kib = static_cast<double>(r.rss_growth_kib);
  }
}

void BM_ImportFile(benchmark::State& state) {
  const auto length = static_cast<std::uint64_t>(state.range(0));
  const std::string& source = source_file(length, false);
  double peak_kib = 0;
  for (auto _ : state) {
    const std::string path = fresh_store_path("import");
    create_store(path);
    ChildResult r = measure_in_child([&path, &source]() {
      kel::Store store(path, kPassword);
      std::string error;
      return store.add_item_from_file("file", source, error) == 0;
    });
    std::filesystem::remove(path);
    if (!r.ok) {
      state.SkipWithError("add_item_from_file failed");
      break;
    }
    report(state, r, &peak_kib);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(length));
  state.counters["peak_rss_growth_MiB"] = peak_kib / 1024.0;
}
BENCHMARK(BM_ImportFile)
    ->Arg(256 << 20)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A value just above 2 GiB, in through a file and out through a descriptor.
// Opt-in: KEL_SAFE_BENCH_HUGE=1 (about 2 GiB of source, store and output
// each; the source is sparse).
void BM_HugeValueRoundTrip(benchmark::State& state) {
  const std::uint64_t length = (std::uint64_t{2} << 30) + (1 << 20) + 7;
  const std::string source = scratch_dir() + "/huge-source";
  make_file(source, length, true);
  double peak_kib = 0;
  for (auto _ : state) {
    const std::string path = fresh_store_path("huge");
    const std::string out = scratch_dir() + "/huge-out";
    create_store(path);
    ChildResult r = measure_in_child([&]() {
      kel::Safe safe(path, kPassword);
      std::string error;
      if (safe.add_entry_from_file("huge", source, error) != 0) return false;
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (fd < 0) return false;
      const int result = safe.get_entry_to_fd("huge", fd, error);
      ::close(fd);
      return result == 0;
    });
    bool same = r.ok && std::filesystem::file_size(out) == length;
    if (same) {
      // The source is all zero bytes; so must the output be.
      const int fd = ::open(out.c_str(), O_RDONLY | O_CLOEXEC);
      std::vector<char> block(1 << 20);
      ssize_t got;
      while (same && (got = ::read(fd, block.data(), block.size())) > 0) {
        for (ssize_t i = 0; i < got; ++i) {
          if (block[static_cast<std::size_t>(i)] != 0) {
            same = false;
            break;
          }
        }
      }
      ::close(fd);
    }
    std::filesystem::remove(path);
    std::filesystem::remove(out);
    if (!same) {
      state.SkipWithError("round trip of the huge value failed");
      break;
    }
    report(state, r, &peak_kib);
  }
  std::filesystem::remove(source);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(length));
  state.counters["peak_rss_growth_MiB"] = peak_kib / 1024.0;
}

[[maybe_unused]] const bool huge_registered = [] {
  const char* opt_in = std::getenv("KEL_SAFE_BENCH_HUGE");
  if (opt_in != nullptr && std::string(opt_in) == "1") {
    benchmark::RegisterBenchmark("BM_HugeValueRoundTrip", BM_HugeValueRoundTrip)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace
}  // namespace kel::bench
