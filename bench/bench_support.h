// Shared pieces of the benchmarks: a scratch folder, stores made quickly by
// writing records directly, the bare cipher, and measuring a piece of work
// (time and peak memory growth) in a child process.
#pragma once

#include <cstdint>
#include <functional>
#include <cstddef>
#include <string>
#include <vector>

namespace kel::bench {

inline const std::string kPassword = "Bench-Passw0rd-2024!";

// The benchmarks' scratch folder (created on first use, removed at exit).
const std::string& scratch_dir();
// A new path in the scratch folder, ending in ".safe".
std::string fresh_store_path(const std::string& stem);
// Creates an empty store; aborts the program on failure.
void create_store(const std::string& path);
// The store key of a store file, unwrapped with the benchmark password.
std::string unwrap_store_key(const std::string& path);
// ChaCha20-Poly1305 seal/open of one buffer (pieces of 64 MiB at most).
void seal(const unsigned char* key, const unsigned char* nonce,
          const unsigned char* in, std::size_t length, unsigned char* out,
          unsigned char* tag);
bool open_sealed(const unsigned char* key, const unsigned char* nonce,
                 const unsigned char* in, std::size_t length,
                 unsigned char* out, const unsigned char* tag);
// The bare scan of a store file of records: one read of the whole file,
// then per record one name opened under `key` with one cipher context that
// only changes its nonce. Returns the number of names that authenticated.
std::size_t bare_scan(const std::string& path, const unsigned char* key);
// Appends `count` records "item-NNNNNNN" with `value_size`-byte values to an
// existing store file, written directly in the store's record layout.
void append_records(const std::string& path, std::size_t count,
                    std::size_t value_size);
// Deterministic filler bytes.
std::string filler(std::size_t length, std::uint32_t seed);
// Writes a file of `length` bytes of filler (sparse zeros when `zeros`).
void make_file(const std::string& path, std::uint64_t length, bool zeros);

// Seconds per run of work(), the median of `runs` runs after one to warm up:
// the bare baseline a benchmark measures in its own run.
double median_seconds(int runs, const std::function<void()>& work);

// Times a benchmark's loop from outside, so that its mean time per
// iteration can be set beside a baseline: start() just before the loop.
class LoopClock {
 public:
  void start();
  double seconds_per_iteration(std::int64_t iterations) const;

 private:
  double started_ = 0;
};

// A file holding the benchmark password, for the tool's --password-file.
const std::string& password_file();
// Runs the tool with `args` on `store` (output to /dev/null, standard input
// from the file `input` when given); seconds, or -1 when it did not exit 0.
double run_tool(const std::string& store, const std::vector<std::string>& args,
                const std::string& input = "");

struct ChildResult {
  bool ok = false;
  double seconds = 0;
  // Growth of the child's peak resident set while `work` ran, in KiB.
  long rss_growth_kib = 0;
};
// Runs work() in a forked child; `ok` is work()'s result.
ChildResult measure_in_child(const std::function<bool()>& work);

}  // namespace kel::bench
