// What each store format costs an attacker and the user. A guess against a
// copied format-1 file is one SHA3-512 of the password and the salt,
// compared with the header's hash; against format 2 it is one Argon2id
// derivation with the store's parameters and an attempt to unwrap the key.
// Then the cost of opening a store and of one tool command (ls on an empty
// store) in each format. Format 2 uses the parameters its creation
// calibrated on this machine. The ratio of the two guesses' rates is what
// format 2 adds to an attacker's work.
#include <benchmark/benchmark.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

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
  static std::string paths[3];
  std::string& path = paths[format];
  if (path.empty()) {
    path = fresh_store_path(format == 2 ? "format2" : "format1");
    kel::StoreOptions options;
    options.format = format;
    kel::Safe safe(path, kPassword);
    std::string error;
    if (safe.create_safe(options, error) != 0) {
      std::fprintf(stderr, "create: %s\n", error.c_str());
      std::abort();
    }
  }
  return path;
}

void BM_GuessFormat1(benchmark::State& state) {
  // As an attacker would run it: the digest fetched once, one context
  // reused, the salt and hash taken from a copied header.
  const std::string file = filler(132, 7);
  const auto* header = reinterpret_cast<const unsigned char*>(file.data());
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                              &EVP_MD_CTX_free);
  std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(EVP_MD_fetch(nullptr, "SHA3-512", nullptr),
                                                     &EVP_MD_free);
  unsigned char hash[64];
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string guess = "guess-" + std::to_string(i++);
    EVP_DigestInit_ex2(ctx.get(), md.get(), nullptr);
    EVP_DigestUpdate(ctx.get(), guess.data(), guess.size());
    EVP_DigestUpdate(ctx.get(), header + 64, 8);
    EVP_DigestFinal_ex(ctx.get(), hash, nullptr);
    benchmark::DoNotOptimize(CRYPTO_memcmp(hash, header, 64));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GuessFormat1);

void BM_GuessFormat2(benchmark::State& state) {
  kel::Safe safe(store_in(2), kPassword);
  kel::FormatInfo info;
  std::string error;
  if (safe.format_info(info, error) != 0) {
    state.SkipWithError(error.c_str());
    return;
  }
  const std::string salt = filler(16, 3);
  unsigned char key[32];
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string guess = "guess-" + std::to_string(i++);
    if (kel::detail::derive_argon2id(reinterpret_cast<const unsigned char*>(guess.data()),
                              guess.size(), reinterpret_cast<const unsigned char*>(salt.data()),
                              salt.size(), info.kdf_memory_kib, info.kdf_passes,
                              info.kdf_lanes, key, sizeof key, error) != 0) {
      state.SkipWithError(error.c_str());
      break;
    }
    benchmark::DoNotOptimize(key);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(std::to_string(info.kdf_memory_kib / 1024) + " MiB, " +
                 std::to_string(info.kdf_passes) + " passes, " +
                 std::to_string(info.kdf_lanes) + " lanes");
}
BENCHMARK(BM_GuessFormat2)->Unit(benchmark::kMillisecond)->MinTime(3);

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
BENCHMARK(BM_OpenStore)->ArgName("format")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

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
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kel::bench
