// Rewriting a store: removing a small entry that follows a 256 MiB entry,
// next to what copying the same file with cp and syncing the copy costs on
// the same file system. The removal copies the big record's bytes with
// copy_file_range, so it should cost no more than that copy.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_support.h"
#include "kel/store.h"

namespace kel::bench {
namespace {

constexpr std::uint64_t kBig = 256ull << 20;

// One store holding a 256 MiB entry, made once.
const std::string& big_store() {
  static std::string path;
  if (path.empty()) {
    path = fresh_store_path("rewrite");
    create_store(path);
    const std::string source = scratch_dir() + "/rewrite-source";
    make_file(source, kBig, false);
    kel::Store store(path, kPassword);
    std::string error;
    if (store.add_item_from_file("big", source, error) != 0) {
      std::fprintf(stderr, "add_item_from_file: %s\n", error.c_str());
      std::exit(2);
    }
    std::filesystem::remove(source);
  }
  return path;
}

void BM_RemoveSmallAfterBig(benchmark::State& state) {
  const std::string& path = big_store();
  kel::Store store(path, kPassword);
  std::string error;
  const std::string value = filler(3, 5);
  for (auto _ : state) {
    state.PauseTiming();
    if (store.add_item("small", reinterpret_cast<const unsigned char*>(value.data()),
                       value.size(), error) != 0) {
      state.SkipWithError(error.c_str());
      break;
    }
    state.ResumeTiming();
    if (store.remove_item("small", error) != 0) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
  std::filesystem::remove(path + ".backup2");
}
BENCHMARK(BM_RemoveSmallAfterBig)->Iterations(5)->Unit(benchmark::kMillisecond);

// The yardstick: cp of the same store file beside it, then fsync of the copy.
void BM_CopyAndSyncSameFile(benchmark::State& state) {
  const std::string& path = big_store();
  const std::string copy = path + ".copy";
  const std::string command = "cp '" + path + "' '" + copy + "'";
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(copy);
    state.ResumeTiming();
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("cp failed");
      break;
    }
    const int fd = ::open(copy.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
      state.SkipWithError("fsync failed");
      break;
    }
    ::close(fd);
  }
  std::filesystem::remove(copy);
}
BENCHMARK(BM_CopyAndSyncSameFile)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kel::bench
