// What each store format costs an attacker and the user. A guess against a
// copied format-1 file is one SHA3-512 of the password and the salt,
// compared with the header's hash; against format 2 it is one Argon2id
// derivation with the store's parameters and an attempt to unwrap the key.
// Then the cost of opening a store and of one tool command (ls on an empty
// store) in each format (format 3 with format 2's parameters: the ratio of
// the two is what its key slot costs). Format 2 uses the parameters its creation
// calibrated on this machine (the defaults: about 500 ms of one core's CPU
// time, four lanes). Each Argon2id guess is timed with the library's
// derivation on one thread and on several (what the user waits), and with
// libsodium's crypto_pwhash, whose optimised code is the attacker's best
// on a processor (one lane: the attacker's lane count does not change the
// work). The counters give each guess's CPU time (the process's: with
// threads, their sum) as a multiple of one format-1 guess's (x_format1) and
// of one libsodium guess's (x_sodium): what format 2 adds to an attacker's
// work, and how much slower the library's own code is. CPU time, so that
// the ratios hold on a busy machine; the Time column of the threaded runs
// is the user's wait, which only an idle machine measures.
#include <benchmark/benchmark.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sodium.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <memory>
#include <string>

#include "bench_support.h"
#include "crypto/argon2id.h"
#include "kel/safe.h"
#include "kel/store.h"

namespace kel::bench {
namespace {

// An empty store of each format, made once (format 2 with the calibrated
// defaults).
const std::string& store_in(int format) {
  static std::string paths[4];
  std::string& path = paths[format];
  if (path.empty()) {
    path = fresh_store_path("format" + std::to_string(format));
    kel::StoreOptions options;
    options.format = format;
    if (format == 3) {
      // Format 2's calibrated parameters, so that the two differ by their
      // headers alone (format 3 opens through one password slot: a key
      // agreement, two HKDFs and an HMAC beside the same derivation).
      kel::Safe two(store_in(2), kPassword);
      kel::FormatInfo info;
      std::string error;
      if (two.format_info(info, error) != 0) {
        std::fprintf(stderr, "format_info: %s\n", error.c_str());
        std::abort();
      }
      options.kdf_memory_kib = info.kdf_memory_kib;
      options.kdf_passes = info.kdf_passes;
      options.kdf_lanes = info.kdf_lanes;
    }
    kel::Safe safe(path, kPassword);
    std::string error;
    if (safe.create_safe(options, error) != 0) {
      std::fprintf(stderr, "create: %s\n", error.c_str());
      std::abort();
    }
  }
  return path;
}

// One format-1 guess, as an attacker would run it: the digest fetched once,
// one context reused, the salt and hash taken from a copied header.
class Format1Guess {
 public:
  Format1Guess() : header_(filler(132, 7)) {}
  void operator()(const std::string& guess) {
    const auto* header = reinterpret_cast<const unsigned char*>(header_.data());
    EVP_DigestInit_ex2(ctx_.get(), md_.get(), nullptr);
    EVP_DigestUpdate(ctx_.get(), guess.data(), guess.size());
    EVP_DigestUpdate(ctx_.get(), header + 64, 8);
    EVP_DigestFinal_ex(ctx_.get(), hash_, nullptr);
    benchmark::DoNotOptimize(CRYPTO_memcmp(hash_, header, 64));
  }

 private:
  std::string header_;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx_{EVP_MD_CTX_new(),
                                                               &EVP_MD_CTX_free};
  std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md_{
      EVP_MD_fetch(nullptr, "SHA3-512", nullptr), &EVP_MD_free};
  unsigned char hash_[64] = {};
};

// The parameters creation calibrated here, read from the store it made.
kel::FormatInfo default_params() {
  static const kel::FormatInfo info = [] {
    kel::FormatInfo read;
    kel::Safe safe(store_in(2), kPassword);
    std::string error;
    if (safe.format_info(read, error) != 0) {
      std::fprintf(stderr, "format_info: %s\n", error.c_str());
      std::abort();
    }
    return read;
  }();
  return info;
}

// One libsodium Argon2id guess with `info`'s memory and passes; false when
// it fails.
bool sodium_guess(const kel::FormatInfo& info, const std::string& guess) {
  unsigned char key[32];
  const std::string salt = filler(crypto_pwhash_SALTBYTES, 3);
  return crypto_pwhash(key, sizeof key, guess.data(), guess.size(),
                       reinterpret_cast<const unsigned char*>(salt.data()), info.kdf_passes,
                       std::size_t{info.kdf_memory_kib} * 1024,
                       crypto_pwhash_ALG_ARGON2ID13) == 0;
}

// The CPU seconds this process has used (its threads' included).
double cpu_seconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The least of `runs` measures of `guesses` calls of `one`, in CPU seconds
// a call: the reference each guess benchmark is a multiple of.
template <typename Guess>
double seconds_per_guess(int runs, int guesses, Guess one) {
  double best = 1e9;
  for (int r = 0; r < runs; ++r) {
    const double start = cpu_seconds();
    for (int i = 0; i < guesses; ++i) one("reference-" + std::to_string(i));
    best = std::min(best, (cpu_seconds() - start) / guesses);
  }
  return best;
}

double format1_seconds() {
  static const double seconds = [] {
    Format1Guess guess;
    return seconds_per_guess(5, 200000, [&](const std::string& g) { guess(g); });
  }();
  return seconds;
}

double sodium_seconds() {
  static const double seconds = [] {
    if (sodium_init() < 0) std::abort();
    const kel::FormatInfo info = default_params();
    return seconds_per_guess(3, 2, [&](const std::string& g) { sodium_guess(info, g); });
  }();
  return seconds;
}

// Each guess's CPU time as multiples of the references.
void report_ratios(benchmark::State& state, double seconds, bool against_sodium) {
  const double per_guess = seconds / static_cast<double>(std::max<std::int64_t>(state.iterations(), 1));
  state.counters["x_format1"] = per_guess / format1_seconds();
  if (against_sodium) state.counters["x_sodium"] = per_guess / sodium_seconds();
}

std::string label(const kel::FormatInfo& info) {
  return std::to_string(info.kdf_memory_kib / 1024) + " MiB, " +
         std::to_string(info.kdf_passes) + " passes, " + std::to_string(info.kdf_lanes) +
         " lanes";
}

void BM_GuessFormat1(benchmark::State& state) {
  Format1Guess guess;
  std::size_t i = 0;
  for (auto _ : state) guess("guess-" + std::to_string(i++));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GuessFormat1);

// The library's derivation on range(0) threads: with one, the CPU time of a
// guess; with more, the wall time the user waits (the CPU column is then
// the whole process's: the work, which threads do not lower).
void BM_GuessFormat2(benchmark::State& state) {
  const kel::FormatInfo info = default_params();
  const auto threads = static_cast<unsigned>(state.range(0));
  const std::string salt = filler(16, 3);
  unsigned char key[32];
  std::string error;
  std::size_t i = 0;
  double seconds = 0;
  for (auto _ : state) {
    const std::string guess = "guess-" + std::to_string(i++);
    const double start = cpu_seconds();
    if (kel::detail::derive_argon2id(reinterpret_cast<const unsigned char*>(guess.data()),
                              guess.size(), reinterpret_cast<const unsigned char*>(salt.data()),
                              salt.size(), info.kdf_memory_kib, info.kdf_passes,
                              info.kdf_lanes, key, sizeof key, error, nullptr, 0, nullptr, 0,
                              threads) != 0) {
      state.SkipWithError(error.c_str());
      break;
    }
    seconds += cpu_seconds() - start;
    benchmark::DoNotOptimize(key);
  }
  state.SetItemsProcessed(state.iterations());
  report_ratios(state, seconds, true);
  state.SetLabel(label(info));
}
BENCHMARK(BM_GuessFormat2)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3);

// The attacker's guess: libsodium's Argon2id with the same memory and passes.
void BM_GuessFormat2Sodium(benchmark::State& state) {
  if (sodium_init() < 0) {
    state.SkipWithError("sodium_init failed");
    return;
  }
  const kel::FormatInfo info = default_params();
  std::size_t i = 0;
  double seconds = 0;
  for (auto _ : state) {
    const double start = cpu_seconds();
    if (!sodium_guess(info, "guess-" + std::to_string(i++))) {
      state.SkipWithError("crypto_pwhash failed");
      break;
    }
    seconds += cpu_seconds() - start;
  }
  state.SetItemsProcessed(state.iterations());
  report_ratios(state, seconds, false);
  state.SetLabel(label(info) + " (libsodium computes 1 lane: the same work)");
}
BENCHMARK(BM_GuessFormat2Sodium)->Unit(benchmark::kMillisecond)->MinTime(3);

void BM_OpenStore(benchmark::State& state) {
  const std::string& path = store_in(static_cast<int>(state.range(0)));
  std::string error;
  for (auto _ : state) {
    kel::Store store(path, kPassword);
    if (store.open_store(error) != 0) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
}
BENCHMARK(BM_OpenStore)
    ->ArgName("format")
    ->Arg(1)
    ->Arg(2)
    ->Arg(3)
    ->Unit(benchmark::kMillisecond);

void BM_ToolCommand(benchmark::State& state) {
  const std::string& path = store_in(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    const double took = run_tool(path, {"ls"});
    if (took < 0) {
      state.SkipWithError("kel-safe ls failed");
      break;
    }
    state.SetIterationTime(took);
  }
}
BENCHMARK(BM_ToolCommand)
    ->ArgName("format")
    ->Arg(1)
    ->Arg(2)
    ->Arg(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kel::bench
