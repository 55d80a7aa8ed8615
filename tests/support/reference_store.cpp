#include "support/reference_store.h"

#include <argon2.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <iostream>
#include <memory>
#include <stdexcept>

namespace kel::test::ref {
namespace {

struct MdCtxFree {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

const unsigned char* u(const Bytes& b) {
  return reinterpret_cast<const unsigned char*>(b.data());
}
unsigned char* u(Bytes& b) { return reinterpret_cast<unsigned char*>(b.data()); }

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

}  // namespace

Bytes sha3(int bits, const Bytes& data) {
  const EVP_MD* md = bits == 224   ? EVP_sha3_224()
                     : bits == 256 ? EVP_sha3_256()
                     : bits == 384 ? EVP_sha3_384()
                                   : EVP_sha3_512();
  MdCtx ctx(EVP_MD_CTX_new());
  require(ctx != nullptr, "EVP_MD_CTX_new");
  Bytes out(static_cast<std::size_t>(EVP_MD_get_size(md)), '\0');
  require(EVP_DigestInit_ex(ctx.get(), md, nullptr) == 1, "digest init");
  require(EVP_DigestUpdate(ctx.get(), data.data(), data.size()) == 1, "digest update");
  require(EVP_DigestFinal_ex(ctx.get(), u(out), nullptr) == 1, "digest final");
  return out;
}

Bytes pbkdf2_sha256(const Bytes& password, const Bytes& salt, int iterations,
                    std::size_t length) {
  Bytes out(length, '\0');
  require(PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                            u(salt), static_cast<int>(salt.size()), iterations,
                            EVP_sha256(), static_cast<int>(length), u(out)) == 1,
          "PKCS5_PBKDF2_HMAC");
  return out;
}

Bytes random_bytes(std::size_t count) {
  Bytes out(count, '\0');
  require(RAND_bytes(u(out), static_cast<int>(count)) == 1, "RAND_bytes");
  return out;
}

Bytes chacha20(const Bytes& key, const Bytes& iv, const Bytes& in) {
  require(key.size() == 32 && iv.size() == 16, "chacha20 sizes");
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  require(ctx != nullptr, "EVP_CIPHER_CTX_new");
  require(EVP_EncryptInit_ex(ctx.get(), EVP_chacha20(), nullptr, u(key), u(iv)) == 1,
          "chacha20 init");
  Bytes out(in.size(), '\0');
  int n = 0;
  require(EVP_EncryptUpdate(ctx.get(), u(out), &n, u(in), static_cast<int>(in.size())) == 1,
          "chacha20 update");
  return out;
}

namespace {

void add_ad(EVP_CIPHER_CTX* ctx, const Bytes& ad) {
  int n = 0;
  if (!ad.empty()) {
    require(EVP_CipherUpdate(ctx, nullptr, &n, u(ad), static_cast<int>(ad.size())) == 1,
            "aead ad");
  }
}

}  // namespace

Sealed aead_seal(const Bytes& key, const Bytes& nonce, const Bytes& plain, const Bytes& ad) {
  require(key.size() == 32 && nonce.size() == 12, "aead sizes");
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  require(ctx != nullptr, "EVP_CIPHER_CTX_new");
  require(EVP_EncryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, u(key),
                             u(nonce)) == 1,
          "aead init");
  Sealed s{Bytes(plain.size(), '\0'), Bytes(16, '\0')};
  add_ad(ctx.get(), ad);
  int n = 0;
  if (!plain.empty()) {
    require(EVP_EncryptUpdate(ctx.get(), u(s.cipher), &n, u(plain),
                              static_cast<int>(plain.size())) == 1,
            "aead update");
  }
  int fin = 0;
  unsigned char scratch[16];
  require(EVP_EncryptFinal_ex(ctx.get(), scratch, &fin) == 1, "aead final");
  require(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, 16, u(s.tag)) == 1,
          "aead tag");
  return s;
}

std::optional<Bytes> aead_open(const Bytes& key, const Bytes& nonce,
                               const Bytes& cipher, const Bytes& tag, const Bytes& ad) {
  require(key.size() == 32 && nonce.size() == 12 && tag.size() == 16, "aead sizes");
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  require(ctx != nullptr, "EVP_CIPHER_CTX_new");
  require(EVP_DecryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, u(key),
                             u(nonce)) == 1,
          "aead init");
  Bytes tag_copy = tag;
  require(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, 16, u(tag_copy)) == 1,
          "aead set tag");
  add_ad(ctx.get(), ad);
  Bytes out(cipher.size(), '\0');
  int n = 0;
  if (!cipher.empty()) {
    require(EVP_DecryptUpdate(ctx.get(), u(out), &n, u(cipher),
                              static_cast<int>(cipher.size())) == 1,
            "aead update");
  }
  unsigned char scratch[16];
  int fin = 0;
  if (EVP_DecryptFinal_ex(ctx.get(), scratch, &fin) != 1) return std::nullopt;
  return out;
}

Bytes le64(std::int64_t value) {
  Bytes out(8, '\0');
  auto v = static_cast<std::uint64_t>(value);
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xff);
  return out;
}

Bytes le32(std::uint32_t value) {
  Bytes out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xff);
  return out;
}

std::int64_t read_le64(const Bytes& bytes, std::size_t at) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes.at(at + i));
  return static_cast<std::int64_t>(v);
}

std::uint32_t read_le32(const Bytes& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes.at(at + i));
  return v;
}

Bytes make_header(const Bytes& password, const Bytes& salt, const Bytes& store_key,
                  const Bytes& nonce) {
  require(salt.size() == kSaltLen && store_key.size() == 32 && nonce.size() == kNonceLen,
          "header sizes");
  const Bytes wrap = pbkdf2_sha256(password, salt, 1000, 32);
  const Sealed sealed = aead_seal(wrap, nonce, store_key);
  Bytes header = sha3(512, password + salt) + salt + sealed.cipher + nonce + sealed.tag;
  require(header.size() == kHeaderSize, "header size");
  return header;
}

std::optional<Bytes> unwrap_store_key(const Bytes& file, const Bytes& password) {
  if (file.size() < kHeaderSize) return std::nullopt;
  const Bytes salt = file.substr(kSaltAt, kSaltLen);
  const Bytes wrap = pbkdf2_sha256(password, salt, 1000, 32);
  return aead_open(wrap, file.substr(kKeyNonceAt, kNonceLen),
                   file.substr(kKeyCipherAt, kKeyCipherLen), file.substr(kKeyTagAt, kTagLen));
}

Bytes argon2id(const Bytes& password, const Bytes& salt, std::uint32_t memory_kib,
               std::uint32_t passes, std::uint32_t lanes, std::size_t length) {
  Bytes out(length, '\0');
  require(argon2id_hash_raw(passes, memory_kib, lanes, password.data(), password.size(),
                            salt.data(), salt.size(), out.data(), out.size()) == ARGON2_OK,
          "argon2id_hash_raw");
  return out;
}

std::optional<Bytes> unwrap_store_key_v2(const Bytes& file, const Bytes& password) {
  if (file.size() < kHeaderSize || file.compare(0, 8, kV2Magic) != 0) return std::nullopt;
  // Parameters out of the bounds every store keeps could make the
  // derivation below claim gigabytes for hours: such a header is refused.
  const std::uint64_t memory = read_le32(file, kV2MemoryAt);
  const std::uint64_t passes = read_le32(file, kV2PassesAt);
  const std::uint64_t lanes = read_le32(file, kV2LanesAt);
  if (memory < 19 * 1024 || memory > 4 * 1024 * 1024 || passes < 1 || passes > 1024 ||
      lanes < 1 || lanes > 64 || memory * passes > 32ull * 1024 * 1024) {
    return std::nullopt;
  }
  const Bytes wrap = argon2id(password, file.substr(kV2SaltAt, kV2SaltLen),
                              read_le32(file, kV2MemoryAt), read_le32(file, kV2PassesAt),
                              read_le32(file, kV2LanesAt), 32);
  return aead_open(wrap, file.substr(kV2NonceAt, kNonceLen), file.substr(kV2CipherAt, 32),
                   file.substr(kV2TagAt, kTagLen), file.substr(0, kV2CipherAt));
}

Bytes make_record(const Bytes& store_key, std::int64_t start, const Bytes& name,
                  const Bytes& value, const RecordOptions& options) {
  require(!name.empty() && name.size() <= 255, "name length");
  const Bytes name_nonce = options.name_nonce.value_or(random_bytes(kNonceLen));
  const Bytes value_nonce = options.value_nonce.value_or(random_bytes(kNonceLen));
  const Sealed n = aead_seal(store_key, name_nonce, name);
  const Sealed v = aead_seal(store_key, value_nonce, value);
  const auto n_len = static_cast<std::int64_t>(name.size());
  Bytes rec;
  rec += static_cast<char>(name.size());
  rec += n.cipher + name_nonce + n.tag;
  rec += le64(options.value_offset.value_or(start + n_len + 41));
  rec += le32(options.value_length.value_or(static_cast<std::uint32_t>(value.size())));
  rec += v.cipher + value_nonce + v.tag;
  return rec;
}

RecordSpan span_at(const Bytes& file, std::size_t at) {
  RecordSpan span;
  span.start = at;
  span.name_length = static_cast<unsigned char>(file.at(at));
  span.value_offset = read_le64(file, span.value_offset_at());
  span.value_length = read_le32(file, span.value_length_at());
  return span;
}

// Where records begin: after format 3's header, whose length it states
// (bytes 12-15), else after the 132-byte header of formats 1 and 2.
static std::size_t records_start(const Bytes& file) {
  auto le32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(file[at + i]);
    return v;
  };
  if (file.size() >= 16 && file.compare(0, 8, "\x89KELSAFE") == 0 && le32(8) == 3) {
    return le32(12);
  }
  return kHeaderSize;
}

std::vector<RecordSpan> record_spans(const Bytes& file, bool* complete) {
  std::vector<RecordSpan> spans;
  std::size_t at = records_start(file);
  while (at < file.size()) {
    const std::size_t n = static_cast<unsigned char>(file[at]);
    if (n == 0 || at + 41 + n > file.size()) break;
    const RecordSpan span = span_at(file, at);
    if (span.end() > file.size()) break;
    spans.push_back(span);
    at = span.end();
  }
  if (complete != nullptr) *complete = at == file.size();
  return spans;
}

std::optional<Bytes> open_name(const Bytes& file, const RecordSpan& span,
                               const Bytes& store_key, const Bytes& ad) {
  return aead_open(store_key, file.substr(span.name_nonce_at(), kNonceLen),
                   file.substr(span.name_cipher_at(), span.name_length),
                   file.substr(span.name_tag_at(), kTagLen), ad);
}

std::optional<Bytes> open_value(const Bytes& file, const RecordSpan& span,
                                const Bytes& store_key, const Bytes& ad) {
  return aead_open(store_key, file.substr(span.value_nonce_at(), kNonceLen),
                   file.substr(span.value_cipher_at(), span.value_length),
                   file.substr(span.value_tag_at(), kTagLen), ad);
}

namespace {

// The one record walker: from the header's end, record after record, until
// the file ends, a zero first byte (an interrupted append) or damage.
void walk_records(const Bytes& file, StoreWalk& walk, bool values) {
  const Bytes& key = walk.store_key;
  std::size_t at = kHeaderSize;
  walk.records_end = kHeaderSize;
  const std::size_t size = file.size();
  const auto where = [](std::size_t offset) { return std::to_string(offset); };
  while (at < size) {
    const std::size_t n = static_cast<unsigned char>(file[at]);
    if (n == 0) {
      walk.interrupted_tail = true;
      return;
    }
    if (at + 41 + n > size) {
      walk.problem = "record fixed part at " + where(at) + " runs past the end";
      return;
    }
    const RecordSpan span = span_at(file, at);
    RawRecord rec;
    rec.start = at;
    rec.value_offset = span.value_offset;
    rec.value_length = span.value_length;
    const auto name = open_name(file, span, key, walk.store_id);
    rec.name_ok = name.has_value();
    if (!rec.name_ok) {
      walk.problem = "record name at " + where(at) + " does not authenticate";
      return;
    }
    rec.name = *name;
    if (rec.value_offset != static_cast<std::int64_t>(span.value_cipher_at())) {
      walk.problem = "record at " + where(at) + " has value_offset " +
                     std::to_string(rec.value_offset);
      return;
    }
    if (rec.value_length == 0) {
      walk.problem = "record at " + where(at) + " has value_length 0";
      return;
    }
    if (span.end() > size) {
      walk.problem = "record value at " + where(at) + " runs past the end";
      return;
    }
    if (values) {
      const auto value = open_value(file, span, key, walk.format == 2 ? *name : Bytes());
      rec.value_ok = value.has_value();
      if (!rec.value_ok) {
        walk.problem = "value of record at " + where(at) + " does not authenticate";
        walk.records.push_back(std::move(rec));
        return;
      }
      rec.value = *value;
    }
    walk.records.push_back(std::move(rec));
    at = span.end();
    walk.records_end = at;
  }
}

}  // namespace

std::vector<RecordView> read_records(const Bytes& file, const Bytes& store_key) {
  StoreWalk walk;
  walk.store_key = store_key;
  walk_records(file, walk, true);
  require(walk.problem.empty() && !walk.interrupted_tail, "damaged records");
  std::vector<RecordView> out;
  for (RawRecord& rec : walk.records) {
    RecordView r;
    r.start = static_cast<std::int64_t>(rec.start);
    r.name_length = static_cast<unsigned>(rec.name.size());
    r.name = std::move(rec.name);
    r.value_offset = rec.value_offset;
    r.value_length = rec.value_length;
    r.value = std::move(rec.value);
    out.push_back(std::move(r));
  }
  return out;
}

StoreWalk walk_store_bytes(const Bytes& bytes, const Bytes& password, bool values) {
  StoreWalk walk;
  if (bytes.size() < kHeaderSize) {
    walk.problem = "file shorter than the header: " + std::to_string(bytes.size());
    return walk;
  }
  std::optional<Bytes> key;
  if (bytes.compare(0, 8, kV2Magic) == 0 && read_le32(bytes, kV2VersionAt) == 2) {
    walk.format = 2;
    walk.store_id = bytes.substr(kV2IdAt, kV2IdLen);
    key = unwrap_store_key_v2(bytes, password);
    walk.password_ok = key.has_value();
  } else {
    walk.password_ok = sha3(512, password + bytes.substr(kSaltAt, kSaltLen)) ==
                       bytes.substr(kHashAt, kHashLen);
  }
  if (!walk.password_ok) {
    walk.problem = "password does not match the header";
    return walk;
  }
  if (walk.format == 1) key = unwrap_store_key(bytes, password);
  walk.key_ok = key.has_value();
  if (!walk.key_ok) {
    walk.problem = "store key does not authenticate";
    return walk;
  }
  walk.store_key = *key;
  walk_records(bytes, walk, values);
  return walk;
}

StoreWalk walk_store_file(const std::string& path, const Bytes& password, bool values) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    StoreWalk walk;
    walk.problem = "cannot read " + path;
    return walk;
  }
  const Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return walk_store_bytes(bytes, password, values);
}

StoreImage::StoreImage(const Bytes& password) : key_(random_bytes(32)) {
  bytes_ = make_header(password, random_bytes(kSaltLen), key_, random_bytes(kNonceLen));
}

std::int64_t StoreImage::add(const Bytes& name, const Bytes& value,
                             const RecordOptions& options) {
  const auto start = static_cast<std::int64_t>(bytes_.size());
  bytes_ += make_record(key_, start, name, value, options);
  return start;
}

std::string run_in_child(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  std::cout.flush();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return "fork failed";
  }
  if (pid == 0) {
    close(fds[0]);
    std::string report;
    try {
      report = body();
    } catch (const std::exception& e) {
      report = std::string("exception in child: ") + e.what();
    } catch (...) {
      report = "unknown exception in child";
    }
    std::size_t done = 0;
    while (done < report.size()) {
      const ssize_t n = write(fds[1], report.data() + done, report.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    close(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  std::string report;
  char buf[512];
  for (;;) {
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n > 0) {
      report.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    report += " [child ended abnormally, status " + std::to_string(status) + "]";
  }
  return report;
}

}  // namespace kel::test::ref
