// What opening a store costs through each kind of key slot: the time from a
// new Safe to its first value read, through a password slot, a password and
// key file slot (the same Argon2id parameters: the key file adds one
// SHA-256 of a small file), and a recipient slot (an X25519 key agreement,
// an HKDF and one AEAD open; no Argon2id at all). Each store holds the
// three slots and one entry. Run with the Argon2id parameters creation
// calibrates here (what a user's store has) and with the cheapest a store
// may have. The counter x_password is each kind's time over the password
// slot's, measured in the same run (the median of a few opens), so that the
// ratio holds on a busy machine; the recipient's Time column is what it
// adds to a process start beside loading the library.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bench_support.h"
#include "kel/entry.h"
#include "kel/key_slots.h"
#include "kel/safe.h"
#include "kel/store_format.h"

namespace kel::bench {
namespace {

const std::string kKeyFilePassword = "Bench-KeyFile-2024!";

[[noreturn]] void fail(const char* what, const std::string& error) {
  std::fprintf(stderr, "%s: %s\n", what, error.c_str());
  std::abort();
}

// A format-3 store with a password slot, a key-file slot and a recipient
// slot, all made once per parameter set (0: calibrated, 1: cheapest).
struct SlotStore {
  std::string path;
  std::string key_file;
  std::string identity;
  kel::FormatInfo info;
};

const SlotStore& slot_store(bool cheapest) {
  static SlotStore stores[2];
  SlotStore& store = stores[cheapest ? 1 : 0];
  if (!store.path.empty()) return store;
  store.path = fresh_store_path(cheapest ? "slots-cheapest" : "slots-calibrated");
  store.key_file = store.path + ".key";
  std::ofstream(store.key_file) << filler(64, 11);
  kel::StoreOptions options;
  options.format = 3;
  if (cheapest) {
    options.kdf_memory_kib = 19 * 1024;
    options.kdf_passes = 2;
    options.kdf_lanes = 1;
  }
  std::string error;
  kel::Safe safe(store.path, kPassword);
  if (safe.create_safe(options, error) != 0) fail("create", error);
  kel::Safe opened(store.path, kPassword);
  kel::Entry entry;
  entry.set_name("probe");
  entry.set_value(std::string("a small value"));
  if (opened.add_entry(entry, error) != 0) fail("add", error);
  if (opened.grant_key_file(kKeyFilePassword, store.key_file, "key file", error) != 0) {
    fail("grant_key_file", error);
  }
  std::string public_key;
  if (kel::generate_identity(store.identity, public_key, error) != kel::Status::ok) {
    fail("generate_identity", error);
  }
  if (opened.grant_recipient(public_key, "recipient", error) != 0) fail("grant_recipient", error);
  if (opened.format_info(store.info, error) != 0) fail("format_info", error);
  return store;
}

enum Kind { kPasswordSlot = 0, kKeyFileSlot = 1, kRecipientSlot = 2 };

// One open through `kind`: a new Safe, its key chosen, its first read.
bool open_once(const SlotStore& store, Kind kind, std::string& error) {
  kel::Safe safe(store.path, kind == kKeyFileSlot    ? kKeyFilePassword
                             : kind == kPasswordSlot ? kPassword
                                                     : std::string());
  if (kind == kKeyFileSlot && safe.use_key_file(store.key_file, error) != 0) return false;
  if (kind == kRecipientSlot && safe.use_identity(store.identity, error) != 0) return false;
  kel::Entry entry;
  entry.set_name("probe");
  return safe.get_entry(entry, error) == 0;
}

void BM_OpenThroughSlot(benchmark::State& state) {
  const auto kind = static_cast<Kind>(state.range(0));
  const SlotStore& store = slot_store(state.range(1) != 0);
  std::string error;
  const double password_seconds = median_seconds(3, [&] {
    if (!open_once(store, kPasswordSlot, error)) fail("open by password", error);
  });
  LoopClock clock;
  clock.start();
  for (auto _ : state) {
    if (!open_once(store, kind, error)) {
      state.SkipWithError(error.c_str());
      return;
    }
  }
  state.counters["x_password"] =
      clock.seconds_per_iteration(state.iterations()) / password_seconds;
  static const char* const kNames[] = {"password", "password+key file", "recipient"};
  state.SetLabel(std::string(kNames[kind]) + ", " +
                 std::to_string(store.info.kdf_memory_kib / 1024) + " MiB " +
                 std::to_string(store.info.kdf_passes) + " passes " +
                 std::to_string(store.info.kdf_lanes) + " lanes");
}
BENCHMARK(BM_OpenThroughSlot)
    ->ArgNames({"kind", "cheapest"})
    ->ArgsProduct({{kPasswordSlot, kKeyFileSlot, kRecipientSlot}, {0, 1}})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kel::bench
