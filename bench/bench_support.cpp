#include "bench_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <vector>

#include "engine/records/format.h"
#include "engine/records/record_codec.h"
#include "kel/safe.h"

extern char** environ;

namespace kel::bench {
namespace {

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
struct FdClose {
  void operator()(const int* fd) const {
    if (*fd >= 0) ::close(*fd);
    delete fd;
  }
};
using Fd = std::unique_ptr<int, FdClose>;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "benchmark setup failed: %s\n", what.c_str());
  std::exit(2);
}

class Scratch {
 public:
  Scratch() {
    const char* base = std::getenv("KEL_SAFE_BENCH_DIR");
    std::string pattern =
        (base != nullptr ? std::string(base)
                         : std::filesystem::temp_directory_path().string()) +
        "/kel-safe-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) die("mkdtemp");
    path = pattern;
    owner = getpid();
  }
  ~Scratch() {
    // Children made by measure_in_child leave through _exit; only the
    // process that made the folder removes it.
    if (getpid() != owner) return;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string path;
  pid_t owner = 0;
};

void crypt(bool encrypt, const unsigned char* key, const unsigned char* nonce,
           const unsigned char* in, std::size_t length, unsigned char* out,
           unsigned char* tag, bool* ok) {
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr,
                                key, nonce, encrypt ? 1 : 0) != 1) {
    die("cipher init");
  }
  constexpr std::size_t kPiece = std::size_t{1} << 26;
  std::size_t done = 0;
  while (done < length) {
    int piece = static_cast<int>(std::min(kPiece, length - done));
    int written = 0;
    if (EVP_CipherUpdate(ctx.get(), out + done, &written, in + done, piece) != 1) {
      die("cipher update");
    }
    done += static_cast<std::size_t>(piece);
  }
  if (!encrypt) {
    EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, 16, tag);
  }
  unsigned char last[16];
  int written = 0;
  const bool final_ok = EVP_CipherFinal_ex(ctx.get(), last, &written) == 1;
  if (encrypt) {
    if (!final_ok) die("cipher final");
    EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, 16, tag);
  }
  if (ok != nullptr) *ok = final_ok;
}

}  // namespace

const std::string& scratch_dir() {
  static Scratch scratch;
  return scratch.path;
}

std::string fresh_store_path(const std::string& stem) {
  static int counter = 0;
  return scratch_dir() + "/" + stem + "-" + std::to_string(getpid()) + "-" +
         std::to_string(counter++) + ".safe";
}

void create_store(const std::string& path) {
  kel::Safe safe(path, kPassword);
  std::string error;
  if (safe.create_safe(error) != 0) die("create_safe: " + error);
}

std::string unwrap_store_key(const std::string& path) {
  unsigned char header[132];
  Fd fd(new int(::open(path.c_str(), O_RDONLY | O_CLOEXEC)));
  if (*fd < 0 || ::pread(*fd, header, 132, 0) != 132) die("read header");
  unsigned char derived[32];
  PKCS5_PBKDF2_HMAC(kPassword.data(), static_cast<int>(kPassword.size()),
                    header + 64, 8, 1000, EVP_sha256(), 32, derived);
  unsigned char key[32];
  if (!open_sealed(derived, header + 104, header + 72, 32, key, header + 116)) {
    die("unwrap store key");
  }
  return std::string(reinterpret_cast<char*>(key), 32);
}

void seal(const unsigned char* key, const unsigned char* nonce,
          const unsigned char* in, std::size_t length, unsigned char* out,
          unsigned char* tag) {
  crypt(true, key, nonce, in, length, out, tag, nullptr);
}

bool open_sealed(const unsigned char* key, const unsigned char* nonce,
                 const unsigned char* in, std::size_t length,
                 unsigned char* out, const unsigned char* tag) {
  bool ok = false;
  crypt(false, key, nonce, in, length, out, const_cast<unsigned char*>(tag), &ok);
  return ok;
}

std::size_t bare_scan(const std::string& path, const unsigned char* key) {
  Fd fd(new int(::open(path.c_str(), O_RDONLY | O_CLOEXEC)));
  const off_t size = *fd < 0 ? -1 : ::lseek(*fd, 0, SEEK_END);
  if (size < 132) die("open store for a bare scan");
  std::vector<unsigned char> file(static_cast<std::size_t>(size));
  if (::pread(*fd, file.data(), file.size(), 0) != size) die("read store");
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, key,
                                 nullptr) != 1) {
    die("cipher init");
  }
  unsigned char name[256];
  std::size_t seen = 0;
  std::size_t at = kel::format::kHeaderSize;
  while (at < file.size()) {
    const kel::codec::FixedPart r = kel::codec::decode_fixed(file.data() + at);
    const long n = r.name_length;
    int written = 0;
    unsigned char tag[16];
    std::memcpy(tag, r.name_tag, 16);
    if (EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, r.name_nonce) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, 16, tag) == 1 &&
        EVP_DecryptUpdate(ctx.get(), name, &written, r.name_cipher, static_cast<int>(n)) == 1 &&
        EVP_DecryptFinal_ex(ctx.get(), name + written, &written) == 1) {
      ++seen;
    }
    at += static_cast<std::size_t>(kel::codec::record_size(n, r.value_length));
  }
  return seen;
}

void append_records(const std::string& path, std::size_t count,
                    std::size_t value_size) {
  const std::string key_bytes = unwrap_store_key(path);
  const auto* key = reinterpret_cast<const unsigned char*>(key_bytes.data());
  Fd fd(new int(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC)));
  if (*fd < 0) die("open store for appending");
  off_t at = ::lseek(*fd, 0, SEEK_END);
  const std::string value = filler(value_size, 7);
  std::vector<unsigned char> out;
  out.reserve(1 << 20);
  for (std::size_t i = 0; i < count; ++i) {
    char name[32];
    const int n = std::snprintf(name, sizeof name, "item-%07zu", i);
    namespace codec = kel::codec;
    const auto v_size = static_cast<long long>(value_size);
    const auto record = static_cast<std::size_t>(codec::record_size(n, v_size));
    const std::size_t base = out.size();
    out.resize(base + record);
    unsigned char* r = out.data() + base;
    codec::encode_fixed(r, n, static_cast<long long>(at) + static_cast<long long>(base),
                        static_cast<std::uint32_t>(value_size));
    RAND_bytes(r + codec::name_nonce_at(n), 12);
    seal(key, r + codec::name_nonce_at(n), reinterpret_cast<const unsigned char*>(name),
         static_cast<std::size_t>(n), r + codec::name_cipher_at(), r + codec::name_tag_at(n));
    unsigned char* v = r + codec::fixed_part_size(n);
    RAND_bytes(v + codec::value_nonce_at(v_size), 12);
    seal(key, v + codec::value_nonce_at(v_size),
         reinterpret_cast<const unsigned char*>(value.data()), value_size, v,
         v + codec::value_tag_at(v_size));
    if (out.size() > (1 << 20) - 4096 || i + 1 == count) {
      if (::write(*fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) {
        die("write records");
      }
      at += static_cast<off_t>(out.size());
      out.clear();
    }
  }
}

std::string filler(std::size_t length, std::uint32_t seed) {
  std::string out(length, '\0');
  std::uint64_t x = 0x9E3779B97F4A7C15ULL ^ seed;
  std::size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(out.data() + i, &x, 8);
  }
  for (; i < length; ++i) out[i] = static_cast<char>(i);
  return out;
}

void make_file(const std::string& path, std::uint64_t length, bool zeros) {
  Fd fd(new int(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)));
  if (*fd < 0) die("create " + path);
  if (zeros) {
    if (::ftruncate(*fd, static_cast<off_t>(length)) != 0) die("ftruncate");
    return;
  }
  const std::string block = filler(std::size_t{1} << 20, 11);
  std::uint64_t done = 0;
  while (done < length) {
    const std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), length - done));
    if (::write(*fd, block.data(), piece) != static_cast<ssize_t>(piece)) die("write");
    done += piece;
  }
}

ChildResult measure_in_child(const std::function<bool()>& work) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) die("pipe");
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    ::close(pipe_fds[0]);
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    ChildResult result;
    result.ok = work();
    result.seconds = std::chrono::duration<double>(
                         std::chrono::steady_clock::now() - start)
                         .count();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    result.rss_growth_kib = after.ru_maxrss - before.ru_maxrss;
    const ssize_t ignored = ::write(pipe_fds[1], &result, sizeof result);
    (void)ignored;
    _exit(0);
  }
  ::close(pipe_fds[1]);
  ChildResult result;
  if (::read(pipe_fds[0], &result, sizeof result) != sizeof result) result.ok = false;
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return result;
}

const std::string& password_file() {
  static std::string path;
  if (path.empty()) {
    path = scratch_dir() + "/password";
    std::ofstream(path) << kPassword << "\n";
    ::chmod(path.c_str(), 0600);
  }
  return path;
}

double run_tool(const std::string& store, const std::vector<std::string>& args,
                const std::string& input) {
  std::vector<std::string> words = {KEL_SAFE_TOOL_PATH, "-q", "-s", store, "--password-file",
                                    password_file()};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (!input.empty()) posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  int status = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0 ||
      waitpid(pid, &status, 0) != pid) {
    status = -1;
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  posix_spawn_file_actions_destroy(&actions);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? took.count() : -1;
}

}  // namespace kel::bench

namespace kel::bench {

namespace {

double now_seconds() {
  return std::chrono::duration<double>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

double median_seconds(int runs, const std::function<void()>& work) {
  work();
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const double started = now_seconds();
    work();
    times.push_back(now_seconds() - started);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void LoopClock::start() { started_ = now_seconds(); }

double LoopClock::seconds_per_iteration(std::int64_t iterations) const {
  return iterations > 0 ? (now_seconds() - started_) / static_cast<double>(iterations) : 0;
}

}  // namespace kel::bench
