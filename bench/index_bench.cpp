// Opening a store (which scans every record and decrypts every name) and
// listing names, for stores of many items, next to a bare scan that does one
// read and one name decryption per record.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/records/format.h"
#include "engine/records/record_codec.h"
#include "bench_support.h"
#include "kel/safe.h"
#include "kel/store.h"

namespace kel::bench {
namespace {

// Stores of `count` items with 32-byte values, made once per run.
const std::string& store_of(std::size_t count) {
  static std::map<std::size_t, std::string> paths;
  auto& path = paths[count];
  if (path.empty()) {
    path = fresh_store_path("index");
    create_store(path);
    append_records(path, count, 32);
  }
  return path;
}

// The bare scan of the store at `path` (bench_support.h), seconds per scan.
double bare_scan_seconds(const std::string& path, std::size_t expected) {
  const std::string key = unwrap_store_key(path);
  const auto* key_bytes = reinterpret_cast<const unsigned char*>(key.data());
  std::size_t seen = 0;
  const double seconds = median_seconds(3, [&] { seen = bare_scan(path, key_bytes); });
  if (seen != expected) {
    std::fprintf(stderr, "bare scan saw %zu of %zu names\n", seen, expected);
    std::exit(2);
  }
  return seconds;
}

// Opens the store at `path` over and over; each opening must index
// `expected` names and find `damaged` damaged stretches. Reports the time
// per opening as a ratio ("x_bare") to the bare scan of the same file.
void open_repeatedly(benchmark::State& state, const std::string& path, std::size_t expected,
                     std::size_t damaged) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const double bare = bare_scan_seconds(path, damaged == 0 ? count : expected);
  std::string text;
  LoopClock clock;
  clock.start();
  for (auto _ : state) {
    kel::Store store(path, kPassword);
    if (store.open_store(text) != 0 || store.index.size() != expected ||
        store.engine->index.damaged.size() != damaged) {
      state.SkipWithError(("open_store: " + text).c_str());
      break;
    }
  }
  state.counters["x_bare"] = clock.seconds_per_iteration(state.iterations()) / bare;
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
  // An inverted rate of records: the time per record.
  state.counters["per_record"] =
      benchmark::Counter(static_cast<double>(state.iterations() * count),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_OpenStore(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  open_repeatedly(state, store_of(count), count, 0);
}
BENCHMARK(BM_OpenStore)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The same store with one name damaged in the middle: the scan reads around
// that record, searching forward for the next one.
void BM_OpenStoreDamagedInTheMiddle(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  static std::map<std::size_t, std::string> paths;
  std::string& path = paths[count];
  if (path.empty()) {
    path = fresh_store_path("damaged");
    std::filesystem::copy_file(store_of(count), path);
    // Every record holds "item-NNNNNNN" and a 32-byte value.
    const off_t middle = kel::format::kHeaderSize +
                         static_cast<off_t>(kel::codec::record_size(12, 32) *
                                            static_cast<long long>(count / 2));
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    unsigned char byte = 0;
    if (fd < 0 || ::pread(fd, &byte, 1, middle + 3) != 1) std::abort();
    byte ^= 0x20;  // inside the name cipher
    if (::pwrite(fd, &byte, 1, middle + 3) != 1) std::abort();
    ::close(fd);
  }
  open_repeatedly(state, path, count - 1, 1);
}
BENCHMARK(BM_OpenStoreDamagedInTheMiddle)->Arg(100000)->Unit(benchmark::kMillisecond);

// One get of a small value on a fresh Store, as a one-shot tool command
// makes it: the name at a quarter of the file (range(1) = 25) or the last
// name (100). The scan stops at the name's first record, so a name early
// in the file costs a fraction of a full scan. Reports the ratio
// ("x_bare") to the bare scan of the whole file, measured in this run.
void BM_GetOneOnFreshStore(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const auto percent = static_cast<std::size_t>(state.range(1));
  const std::string& path = store_of(count);
  const double bare = bare_scan_seconds(path, count);
  char name[32];
  std::snprintf(name, sizeof name, "item-%07zu", (count * percent / 100) - (percent == 100));
  std::string value;
  std::string error;
  LoopClock clock;
  clock.start();
  for (auto _ : state) {
    kel::Store store(path, kPassword);
    if (store.get_item(name, value, error) != 0 || value.size() != 32) {
      state.SkipWithError(("get_item: " + error).c_str());
      break;
    }
  }
  state.counters["x_bare"] = clock.seconds_per_iteration(state.iterations()) / bare;
}
BENCHMARK(BM_GetOneOnFreshStore)
    ->Args({100000, 25})
    ->Args({100000, 100})
    ->Unit(benchmark::kMillisecond);

// Listing on a fresh Safe: the whole file scanned, on range(1) threads
// (Safe::set_scan_threads). Reports the wall time as a ratio ("x_bare") to
// the bare one-thread scan of the same file, and ("x_one_thread") to the
// same listing on one thread, both measured in this run.
void BM_ListOnFreshSafe(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const std::string& path = store_of(count);
  const double bare = bare_scan_seconds(path, count);
  std::vector<std::string> names;
  std::string error;
  auto list_once = [&](unsigned threads) {
    kel::Safe safe(path, kPassword);
    safe.set_scan_threads(threads);
    names.clear();
    return safe.list_entries(names, error) == 0 && names.size() == count;
  };
  bool listed = true;
  const double one_thread = median_seconds(3, [&] { listed = listed && list_once(1); });
  if (!listed) {
    state.SkipWithError(("list_entries: " + error).c_str());
    return;
  }
  LoopClock clock;
  clock.start();
  for (auto _ : state) {
    if (!list_once(static_cast<unsigned>(state.range(1)))) {
      state.SkipWithError(("list_entries: " + error).c_str());
      break;
    }
  }
  const double seconds = clock.seconds_per_iteration(state.iterations());
  state.counters["x_bare"] = seconds / bare;
  state.counters["x_one_thread"] = seconds / one_thread;
  state.counters["per_record"] =
      benchmark::Counter(static_cast<double>(state.iterations() * count),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ListOnFreshSafe)
    ->Args({100000, 1})
    ->Args({100000, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The bare scan (bench_support.h): one read of the whole file, one reused
// cipher context.
void BM_BareScanWholeFile(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const std::string& path = store_of(count);
  const std::string key = unwrap_store_key(path);
  for (auto _ : state) {
    if (bare_scan(path, reinterpret_cast<const unsigned char*>(key.data())) != count) {
      state.SkipWithError("bare scan miscounted");
      break;
    }
  }
  state.counters["per_record"] =
      benchmark::Counter(static_cast<double>(state.iterations() * count),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BareScanWholeFile)->Arg(100000)->Unit(benchmark::kMillisecond);

// What a scan cannot beat: per record, one read of the fixed part and one
// ChaCha20-Poly1305 open of the name (a fresh cipher context each time).
void BM_BareNameScan(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const std::string& path = store_of(count);
  const std::string key_bytes = unwrap_store_key(path);
  const auto* key = reinterpret_cast<const unsigned char*>(key_bytes.data());
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  unsigned char fixed[kel::codec::kMaxFixedPartSize];
  unsigned char name[256];
  for (auto _ : state) {
    off_t at = kel::format::kHeaderSize;
    std::size_t seen = 0;
    for (;;) {
      // Name length and the rest of the fixed part in one read.
      const ssize_t got = ::pread(fd, fixed, sizeof fixed, at);
      if (got <= 0) break;
      const kel::codec::FixedPart part = kel::codec::decode_fixed(fixed);
      const auto n = static_cast<std::size_t>(part.name_length);
      if (!open_sealed(key, part.name_nonce, part.name_cipher, n, name, part.name_tag)) {
        state.SkipWithError("name did not verify");
        break;
      }
      at += static_cast<off_t>(kel::codec::record_size(part.name_length, part.value_length));
      ++seen;
    }
    if (seen != count) {
      state.SkipWithError("scan miscounted");
      break;
    }
  }
  ::close(fd);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
  state.counters["per_record"] =
      benchmark::Counter(static_cast<double>(state.iterations() * count),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BareNameScan)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_ListItems(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  kel::Store store(store_of(count), kPassword);
  std::string error;
  if (store.open_store(error) != 0) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::vector<std::string> names;
  names.reserve(count);
  for (auto _ : state) {
    names.clear();
    if (store.list_items(names, error) != 0 || names.size() != count) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
}
BENCHMARK(BM_ListItems)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kel::bench
