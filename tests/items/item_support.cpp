#include "items/item_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "kel/safe.h"

namespace kel::test::items {
namespace {

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

const unsigned char* bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

std::uint64_t get_le(const std::string& data, std::size_t at, int width) {
  std::uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(data.at(at + i));
  }
  return value;
}

void put_le(std::string& data, std::size_t at, std::uint64_t value,
            int width) {
  for (int i = 0; i < width; ++i) {
    data.at(at + i) = static_cast<char>((value >> (8 * i)) & 0xff);
  }
}

std::vector<RawRecord> parse_records(const std::string& file,
                                     bool* complete) {
  std::vector<RawRecord> records;
  std::size_t at = kHeaderSize;
  while (at < file.size()) {
    RawRecord r;
    r.start = at;
    r.name_length = static_cast<unsigned char>(file[at]);
    if (r.name_length == 0 || at + 41 + r.name_length > file.size()) break;
    r.value_offset = static_cast<std::int64_t>(get_le(file, r.value_offset_at(), 8));
    r.value_length = static_cast<std::uint32_t>(get_le(file, r.value_length_at(), 4));
    if (r.end() > file.size()) break;
    records.push_back(r);
    at = r.end();
  }
  if (complete != nullptr) *complete = (at == file.size());
  return records;
}

std::optional<std::string> aead_open(const std::string& key,
                                     const std::string& nonce,
                                     const std::string& cipher,
                                     const std::string& tag) {
  if (key.size() != 32 || nonce.size() != 12 || tag.size() != 16) {
    return std::nullopt;
  }
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return std::nullopt;
  if (EVP_DecryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr,
                         bytes(key), bytes(nonce)) != 1) {
    return std::nullopt;
  }
  std::string plain(cipher.size(), '\0');
  std::size_t done = 0;
  // Pieces keep every call's length well inside an int.
  constexpr std::size_t kPiece = 1 << 26;
  while (done < cipher.size()) {
    int piece = static_cast<int>(std::min(kPiece, cipher.size() - done));
    int out = 0;
    if (EVP_DecryptUpdate(ctx.get(),
                          reinterpret_cast<unsigned char*>(plain.data()) + done,
                          &out, bytes(cipher) + done, piece) != 1) {
      return std::nullopt;
    }
    done += static_cast<std::size_t>(piece);
  }
  std::string tag_copy = tag;
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, 16,
                          tag_copy.data()) != 1) {
    return std::nullopt;
  }
  int out = 0;
  unsigned char last[16];
  if (EVP_DecryptFinal_ex(ctx.get(), last, &out) != 1) return std::nullopt;
  return plain;
}

std::string aead_seal(const std::string& key, const std::string& nonce,
                      const std::string& plain) {
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  std::string out(plain.size() + 16, '\0');
  int written = 0;
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  if (!ctx ||
      EVP_EncryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr,
                         bytes(key), bytes(nonce)) != 1 ||
      EVP_EncryptUpdate(ctx.get(), o, &written, bytes(plain),
                        static_cast<int>(plain.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), o + plain.size(), &written) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, 16,
                          o + plain.size()) != 1) {
    ADD_FAILURE() << "sealing failed";
  }
  return out;
}

std::string build_record(const std::string& key, std::size_t start,
                         const std::string& name, const std::string& value) {
  const std::string name_nonce = pattern(12, 101);
  const std::string value_nonce = pattern(12, 202);
  const std::string name_sealed = aead_seal(key, name_nonce, name);
  const std::string value_sealed = aead_seal(key, value_nonce, value);
  std::string record(1, static_cast<char>(name.size()));
  record += name_sealed.substr(0, name.size()) + name_nonce +
            name_sealed.substr(name.size());
  std::string numbers(12, '\0');
  put_le(numbers, 0, start + name.size() + 41, 8);
  put_le(numbers, 8, value.size(), 4);
  record += numbers;
  record += value_sealed.substr(0, value.size()) + value_nonce +
            value_sealed.substr(value.size());
  return record;
}

std::optional<std::string> unwrap_store_key(const std::string& file,
                                            const std::string& password) {
  if (file.size() < kHeaderSize) return std::nullopt;
  unsigned char derived[32];
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                        bytes(file) + kSaltAt, 8, 1000, EVP_sha256(), 32,
                        derived) != 1) {
    return std::nullopt;
  }
  std::string key(reinterpret_cast<char*>(derived), 32);
  return aead_open(key, file.substr(kKeyNonceAt, 12),
                   file.substr(kKeyCipherAt, 32), file.substr(kKeyTagAt, 16));
}

std::string sha3_512(const std::string& data) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  unsigned char out[64];
  unsigned int length = 0;
  EVP_DigestInit_ex(ctx.get(), EVP_sha3_512(), nullptr);
  EVP_DigestUpdate(ctx.get(), data.data(), data.size());
  EVP_DigestFinal_ex(ctx.get(), out, &length);
  return std::string(reinterpret_cast<char*>(out), length);
}

std::optional<std::string> record_name(const std::string& file,
                                       const RawRecord& r,
                                       const std::string& key) {
  return aead_open(key, file.substr(r.name_nonce_at(), 12),
                   file.substr(r.name_cipher_at(), r.name_length),
                   file.substr(r.name_tag_at(), 16));
}

std::optional<std::string> record_value(const std::string& file,
                                        const RawRecord& r,
                                        const std::string& key) {
  return aead_open(key, file.substr(r.value_nonce_at(), 12),
                   file.substr(r.value_cipher_at(), r.value_length),
                   file.substr(r.value_tag_at(), 16));
}

std::string pattern(std::size_t length, std::uint32_t seed) {
  std::string out(length, '\0');
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (std::size_t i = 0; i < length; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    // Every eighth byte is a zero byte.
    out[i] = (i % 8 == 3) ? '\0' : static_cast<char>(x & 0xff);
  }
  return out;
}

std::string value_for(const std::string& name) {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : name) h = (h ^ c) * 16777619u;
  return pattern(1 + h % 2000, h);
}

void create_store(const std::string& path, const std::string& password) {
  kel::Safe safe(path, password);
  std::string error;
  ASSERT_EQ(safe.create_safe(error), 0) << error;
}

std::vector<std::string> dir_entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

int file_mode(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

ChildGroup::ChildGroup() {
  if (pipe(start_pipe_) != 0) start_pipe_[0] = start_pipe_[1] = -1;
}

ChildGroup::~ChildGroup() {
  release();
  wait_all();
  if (start_pipe_[0] >= 0) close(start_pipe_[0]);
}

pid_t ChildGroup::spawn(const std::function<int()>& body) {
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    if (start_pipe_[1] >= 0) close(start_pipe_[1]);
    char c;
    // Returns 0 (end of file) once the parent closes the writing end.
    while (read(start_pipe_[0], &c, 1) < 0 && errno == EINTR) {
    }
    int code = 0;
    try {
      code = body();
    } catch (...) {
      code = 99;
    }
    fflush(stdout);
    _exit(code);
  }
  if (pid > 0) children_.push_back(pid);
  return pid;
}

void ChildGroup::release() {
  if (start_pipe_[1] >= 0) {
    close(start_pipe_[1]);
    start_pipe_[1] = -1;
  }
}

std::vector<int> ChildGroup::wait_all() {
  std::vector<int> codes;
  for (pid_t pid : children_) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    codes.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }
  children_.clear();
  return codes;
}

int run_in_child(const std::function<int()>& body) {
  ChildGroup group;
  group.spawn(body);
  group.release();
  auto codes = group.wait_all();
  return codes.empty() ? -1 : codes[0];
}

int run_unprivileged(const std::string& dir,
                     const std::function<int()>& body) {
  return run_in_child([&]() -> int {
    if (geteuid() == 0) {
      constexpr uid_t kNobody = 65534;
      std::error_code ec;
      if (::chown(dir.c_str(), kNobody, kNobody) != 0) return 90;
      for (const auto& e :
           std::filesystem::recursive_directory_iterator(dir, ec)) {
        if (::lchown(e.path().c_str(), kNobody, kNobody) != 0) return 90;
      }
      if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
          setuid(kNobody) != 0) {
        return 91;
      }
    }
    return body();
  });
}

int run_as(uid_t uid, gid_t gid, const std::vector<gid_t>& groups,
           const std::function<int()>& body) {
  return run_in_child([&]() -> int {
    if (setgroups(groups.size(), groups.data()) != 0 || setresgid(gid, gid, gid) != 0 ||
        setresuid(uid, uid, uid) != 0) {
      return 92;
    }
    return body();
  });
}

ScopedCwd::ScopedCwd(const std::string& dir) {
  old_fd_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ok_ = old_fd_ >= 0 && chdir(dir.c_str()) == 0;
}

ScopedCwd::~ScopedCwd() {
  if (old_fd_ >= 0) {
    if (fchdir(old_fd_) != 0) {
      ADD_FAILURE() << "could not return to the old working directory";
    }
    close(old_fd_);
  }
}

ScopedTmpfs::ScopedTmpfs(const std::string& dir, bool read_only,
                         const std::string& type)
    : dir_(dir) {
  unsigned long flags = MS_NOSUID | MS_NODEV;
  if (read_only) flags |= MS_RDONLY;
  const char* options = type == "tmpfs" ? "size=4m,mode=0700" : "mode=0700";
  if (mount("kel-safe-test", dir.c_str(), type.c_str(), flags, options) == 0) {
    mounted_ = true;
  } else {
    reason_ = "cannot mount a " + type + " here: " + strerror(errno);
  }
}

ScopedTmpfs::~ScopedTmpfs() {
  if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
}

}  // namespace kel::test::items
