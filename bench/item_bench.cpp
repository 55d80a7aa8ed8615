// Adding and reading single items, next to the bare cipher.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "engine/locked_store.h"
#include "engine/records/record_codec.h"
#include "kel/entry.h"
#include "kel/safe.h"
#include "kel/store.h"

namespace kel::bench {
namespace {

// add_item of a small value; every add reaches stable storage before it
// returns, so this mostly measures the file system's sync.
void BM_AddItemSmall(benchmark::State& state) {
  const std::string path = fresh_store_path("add");
  create_store(path);
  kel::Store store(path, kPassword);
  std::string error;
  const std::string value = filler(static_cast<std::size_t>(state.range(0)), 1);
  const auto* data = reinterpret_cast<const unsigned char*>(value.data());
  std::size_t counter = 0;
  for (auto _ : state) {
    char name[32];
    std::snprintf(name, sizeof name, "name-%09zu", counter++);
    if (store.add_item(name, data, value.size(), error) != 0) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddItemSmall)->Arg(64)->Unit(benchmark::kMicrosecond);

// One store per value size, opened once and kept for the whole run.
// A Safe holds its Store in locked pages of their own; the Stores timed
// here live there too, so that the numbers are those a Safe sees.
struct LockedStoreDeleter {
  void operator()(kel::Store* store) const noexcept { kel::detail::delete_locked_store(store); }
};

kel::Store& store_with_value(std::size_t size) {
  static std::map<std::size_t, std::unique_ptr<kel::Store, LockedStoreDeleter>> stores;
  auto& slot = stores[size];
  if (!slot) {
    const std::string path = fresh_store_path("get");
    create_store(path);
    slot.reset(kel::detail::new_locked_store(path, kPassword));
    const std::string value = filler(size, 3);
    std::string error;
    if (slot->add_item("value", reinterpret_cast<const unsigned char*>(value.data()),
                       value.size(), error) != 0) {
      std::fprintf(stderr, "add_item: %s\n", error.c_str());
      std::exit(2);
    }
  }
  return *slot;
}

void BM_GetItem(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  kel::Store& store = store_with_value(size);
  std::string value;
  std::string error;
  // With range(1) set, the caller drops the previous value itself first,
  // so the library has no earlier value to wipe: the difference between the
  // two runs is the cost of that wipe.
  const bool drop_first = state.range(1) != 0;
  for (auto _ : state) {
    if (drop_first) std::string().swap(value);
    if (store.get_item("value", value, error) != 0) {
      state.SkipWithError(error.c_str());
      break;
    }
    benchmark::DoNotOptimize(value.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}
BENCHMARK(BM_GetItem)
    ->Args({64, 0})
    ->Args({1 << 20, 0})
    ->Args({64 << 20, 0})
    ->Args({64 << 20, 1})
    ->Unit(benchmark::kMicrosecond);

// Safe::get_entry of one value, reported as a ratio ("x_bare") to a bare
// ChaCha20-Poly1305 opening of the same sealed bytes, already in memory,
// into a buffer already in use, measured in the same run. With range(1)
// set, the entry is emptied (untimed) before each read, as a first read
// into a new entry finds it: the read then wipes and releases no earlier
// value of its own.
void BM_GetEntry(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  kel::Store& store = store_with_value(size);
  const kel::Item& item = store.index.at("value");
  const auto v = static_cast<long long>(size);
  std::vector<unsigned char> sealed(static_cast<std::size_t>(kel::codec::value_part_size(v)));
  std::vector<unsigned char> out(size);
  const int fd = ::open(store.file_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::pread(fd, sealed.data(), sealed.size(), item.value_offset) !=
                    static_cast<ssize_t>(sealed.size())) {
    state.SkipWithError("could not read the sealed value");
    return;
  }
  ::close(fd);
  const std::string key = unwrap_store_key(store.file_path);
  const auto* key_bytes = reinterpret_cast<const unsigned char*>(key.data());
  bool opened = true;
  const double bare = median_seconds(5, [&] {
    opened = opened && open_sealed(key_bytes, sealed.data() + kel::codec::value_nonce_at(v),
                                   sealed.data(), size, out.data(),
                                   sealed.data() + kel::codec::value_tag_at(v));
  });
  if (!opened) {
    state.SkipWithError("bare opening failed");
    return;
  }
  kel::Safe safe(store.file_path, kPassword);
  kel::Entry entry("value");
  std::string error;
  const bool drop_first = state.range(1) != 0;
  double get_seconds = 0;  // the reads alone, measured from outside
  for (auto _ : state) {
    if (drop_first) {
      state.PauseTiming();
      entry.set_value(std::string());
      state.ResumeTiming();
    }
    const auto began = std::chrono::steady_clock::now();
    if (safe.get_entry(entry, error) != 0 || entry.length() != size) {
      state.SkipWithError(error.c_str());
      break;
    }
    get_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    benchmark::DoNotOptimize(entry.raw_value());
  }
  if (state.iterations() > 0) {
    state.counters["x_bare"] = get_seconds / static_cast<double>(state.iterations()) / bare;
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}
BENCHMARK(BM_GetEntry)
    ->Args({64, 0})
    ->Args({1 << 20, 0})
    ->Args({64 << 20, 0})
    ->Args({64 << 20, 1})
    ->Unit(benchmark::kMicrosecond);

// A one-shot read (a fresh Safe, one small entry of a 1,000-entry store)
// while another process holds the store's write lock, as an add holds it
// for as long as it writes a large value: reported as a ratio ("x_idle")
// to the same read on the idle store, measured in this run. Readers take no
// lock unless the header fails to authenticate, so they do not wait.
void BM_ReadWhileAWriterHoldsTheLock(benchmark::State& state) {
  const std::string path = fresh_store_path("locked");
  create_store(path);
  append_records(path, 1000, 64);
  auto read_once = [&path] {
    kel::Safe safe(path, kPassword);
    kel::Entry entry("item-0000500");
    std::string error;
    return safe.get_entry(entry, error) == 0 && entry.length() == 64;
  };
  bool ok = true;
  const double idle = median_seconds(21, [&] { ok = ok && read_once(); });
  int ready[2];
  int release[2];
  if (!ok || ::pipe(ready) != 0 || ::pipe(release) != 0) {
    state.SkipWithError("setup failed");
    return;
  }
  const pid_t writer = ::fork();
  if (writer == 0) {
    // Holds the write lock until released (or for a minute at most).
    ::close(release[1]);
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    char byte = fd >= 0 && ::fcntl(fd, F_OFD_SETLKW, &lock) == 0 ? 'y' : 'n';
    if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
    struct pollfd wait_for {release[0], POLLIN, 0};
    ::poll(&wait_for, 1, 60000);
    ::_exit(0);
  }
  char byte = 'n';
  if (writer < 0 || ::read(ready[0], &byte, 1) != 1 || byte != 'y') {
    state.SkipWithError("the writer could not take the lock");
  } else {
    LoopClock clock;
    clock.start();
    for (auto _ : state) {
      if (!read_once()) {
        state.SkipWithError("read failed");
        break;
      }
    }
    state.counters["x_idle"] = clock.seconds_per_iteration(state.iterations()) / idle;
  }
  ::close(release[1]);
  if (writer > 0) ::waitpid(writer, nullptr, 0);
  for (int fd : {ready[0], ready[1], release[0]}) ::close(fd);
}
BENCHMARK(BM_ReadWhileAWriterHoldsTheLock)->Unit(benchmark::kMicrosecond);

// The bare AEAD over a buffer already in memory: what get_item cannot beat.
void BM_BareChaCha20Poly1305(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const bool decrypt = state.range(1) != 0;
  const std::string plain = filler(size, 5);
  std::vector<unsigned char> sealed(size), out(size);
  unsigned char key[32] = {1, 2, 3};
  unsigned char nonce[12] = {4, 5, 6};
  unsigned char tag[16];
  seal(key, nonce, reinterpret_cast<const unsigned char*>(plain.data()), size,
       sealed.data(), tag);
  for (auto _ : state) {
    if (decrypt) {
      if (!open_sealed(key, nonce, sealed.data(), size, out.data(), tag)) {
        state.SkipWithError("tag did not verify");
        break;
      }
    } else {
      seal(key, nonce, reinterpret_cast<const unsigned char*>(plain.data()), size,
           out.data(), tag);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
  state.SetLabel(decrypt ? "open" : "seal");
}
BENCHMARK(BM_BareChaCha20Poly1305)
    ->Args({64 << 20, 0})
    ->Args({64 << 20, 1})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kel::bench
