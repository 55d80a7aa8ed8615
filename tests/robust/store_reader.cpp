#include "robust/store_reader.h"

#include <openssl/evp.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

namespace kel::robust {

namespace {

// The layout, written down independently: header fields and record parts.
constexpr std::size_t kHash = 64, kSalt = 8, kKeyCipher = 32, kNonce = 12,
                      kTag = 16;
constexpr std::size_t kHeader = kHash + kSalt + kKeyCipher + kNonce + kTag;
static_assert(kHeader == 132);
// name_length(1) name(N) nonce(12) tag(16) value_offset(8) value_length(4)
constexpr std::size_t fixed_part(std::size_t n) { return 1 + n + 12 + 16 + 8 + 4; }

struct CtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

std::uint64_t le(const unsigned char* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void put_le(std::string& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

bool sha3_512(const std::string& first, const unsigned char* salt,
              unsigned char* out) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  unsigned int len = 0;
  return ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha3_512(), nullptr) == 1 &&
         EVP_DigestUpdate(ctx.get(), first.data(), first.size()) == 1 &&
         EVP_DigestUpdate(ctx.get(), salt, kSalt) == 1 &&
         EVP_DigestFinal_ex(ctx.get(), out, &len) == 1 && len == 64;
}

bool wrapping_key(const std::string& password, const unsigned char* salt,
                  unsigned char* out) {
  return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                           salt, kSalt, 1000, EVP_sha256(), 32, out) == 1;
}

const unsigned char* u(const std::string& s, std::size_t at) {
  return reinterpret_cast<const unsigned char*>(s.data()) + at;
}

}  // namespace

bool aead_open(const unsigned char* key, const unsigned char* nonce,
               const unsigned char* cipher, std::size_t length,
               const unsigned char* tag, std::string& plain) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx ||
      EVP_DecryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, nullptr,
                         nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_IVLEN, 12, nullptr) != 1 ||
      EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key, nonce) != 1) {
    return false;
  }
  plain.assign(length, '\0');
  std::size_t done = 0;
  while (done < length) {
    int piece = static_cast<int>(std::min<std::size_t>(length - done, 1 << 20));
    int out = 0;
    if (EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(&plain[done]),
                          &out, cipher + done, piece) != 1) {
      return false;
    }
    done += static_cast<std::size_t>(out);
  }
  unsigned char tag_copy[16];
  std::memcpy(tag_copy, tag, 16);
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, 16, tag_copy) != 1) {
    return false;
  }
  unsigned char rest[16];
  int out = 0;
  return EVP_DecryptFinal_ex(ctx.get(), rest, &out) == 1;
}

bool aead_seal(const unsigned char* key, const unsigned char* nonce,
               const std::string& plain, std::string& cipher, unsigned char* tag) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx ||
      EVP_EncryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, nullptr,
                         nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_IVLEN, 12, nullptr) != 1 ||
      EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key, nonce) != 1) {
    return false;
  }
  cipher.assign(plain.size(), '\0');
  std::size_t done = 0;
  while (done < plain.size()) {
    int piece = static_cast<int>(std::min<std::size_t>(plain.size() - done, 1 << 20));
    int out = 0;
    if (EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(&cipher[done]),
                          &out, u(plain, done), piece) != 1) {
      return false;
    }
    done += static_cast<std::size_t>(out);
  }
  unsigned char rest[16];
  int out = 0;
  return EVP_EncryptFinal_ex(ctx.get(), rest, &out) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, 16, tag) == 1;
}

StoreWalk walk_store_file(const std::string& path, const std::string& password,
                          bool values) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    StoreWalk walk;
    walk.problem = "cannot read " + path;
    return walk;
  }
  std::string bytes{std::istreambuf_iterator<char>(in),
                    std::istreambuf_iterator<char>()};
  return walk_store_bytes(bytes, password, values);
}

StoreWalk walk_store_bytes(const std::string& bytes, const std::string& password,
                           bool values) {
  StoreWalk walk;
  if (bytes.size() < kHeader) {
    walk.problem = "file shorter than the header: " + std::to_string(bytes.size());
    return walk;
  }
  const unsigned char* salt = u(bytes, kHash);
  unsigned char hash[64];
  walk.password_ok = sha3_512(password, salt, hash) &&
                     std::memcmp(hash, u(bytes, 0), 64) == 0;
  if (!walk.password_ok) {
    walk.problem = "password does not match the header";
    return walk;
  }
  unsigned char wrap[32];
  std::string key;
  walk.key_ok = wrapping_key(password, salt, wrap) &&
                aead_open(wrap, u(bytes, kHash + kSalt + kKeyCipher),
                          u(bytes, kHash + kSalt), kKeyCipher,
                          u(bytes, kHash + kSalt + kKeyCipher + kNonce), key);
  if (!walk.key_ok) {
    walk.problem = "store key does not authenticate";
    return walk;
  }
  std::memcpy(walk.store_key, key.data(), 32);

  std::size_t at = kHeader;
  walk.records_end = kHeader;
  const std::size_t size = bytes.size();
  while (at < size) {
    const std::size_t n = static_cast<unsigned char>(bytes[at]);
    if (n == 0) {
      walk.interrupted_tail = true;
      break;
    }
    if (at + fixed_part(n) > size) {
      walk.problem = "record fixed part at " + std::to_string(at) + " runs past the end";
      break;
    }
    RawRecord rec;
    rec.start = at;
    const unsigned char* name_cipher = u(bytes, at + 1);
    const unsigned char* name_nonce = u(bytes, at + 1 + n);
    const unsigned char* name_tag = u(bytes, at + 13 + n);
    rec.value_offset = static_cast<std::int64_t>(le(u(bytes, at + 29 + n), 8));
    rec.value_length = static_cast<std::uint32_t>(le(u(bytes, at + 37 + n), 4));
    rec.name_ok = aead_open(walk.store_key, name_nonce, name_cipher, n, name_tag,
                            rec.name);
    if (!rec.name_ok) {
      walk.problem = "record name at " + std::to_string(at) + " does not authenticate";
      break;
    }
    if (rec.value_offset != static_cast<std::int64_t>(at + n + 41)) {
      walk.problem = "record at " + std::to_string(at) + " has value_offset " +
                     std::to_string(rec.value_offset);
      break;
    }
    if (rec.value_length == 0) {
      walk.problem = "record at " + std::to_string(at) + " has value_length 0";
      break;
    }
    const std::size_t value_at = at + n + 41;
    const std::size_t end = value_at + rec.value_length + 28;
    if (end > size) {
      walk.problem = "record value at " + std::to_string(at) + " runs past the end";
      break;
    }
    if (values) {
      rec.value_ok = aead_open(walk.store_key, u(bytes, value_at + rec.value_length),
                               u(bytes, value_at), rec.value_length,
                               u(bytes, value_at + rec.value_length + 12), rec.value);
      if (!rec.value_ok) {
        walk.problem = "value of record at " + std::to_string(at) +
                       " does not authenticate";
        walk.records.push_back(std::move(rec));
        break;
      }
    }
    walk.records.push_back(std::move(rec));
    at = end;
    walk.records_end = at;
  }
  return walk;
}

std::string make_header(const std::string& password, const unsigned char* salt8,
                        const unsigned char* store_key32,
                        const unsigned char* nonce12) {
  unsigned char hash[64];
  unsigned char wrap[32];
  unsigned char tag[16];
  std::string cipher;
  if (!sha3_512(password, salt8, hash) || !wrapping_key(password, salt8, wrap) ||
      !aead_seal(wrap, nonce12,
                 std::string(reinterpret_cast<const char*>(store_key32), 32),
                 cipher, tag)) {
    return {};
  }
  std::string header(reinterpret_cast<const char*>(hash), 64);
  header.append(reinterpret_cast<const char*>(salt8), 8);
  header += cipher;
  header.append(reinterpret_cast<const char*>(nonce12), 12);
  header.append(reinterpret_cast<const char*>(tag), 16);
  return header;
}

std::string make_record(const unsigned char* store_key32, std::size_t start,
                        const std::string& name, const std::string& value,
                        const unsigned char* name_nonce12,
                        const unsigned char* value_nonce12) {
  std::string name_cipher, value_cipher;
  unsigned char name_tag[16], value_tag[16];
  if (!aead_seal(store_key32, name_nonce12, name, name_cipher, name_tag) ||
      !aead_seal(store_key32, value_nonce12, value, value_cipher, value_tag)) {
    return {};
  }
  std::string rec;
  rec += static_cast<char>(name.size());
  rec += name_cipher;
  rec.append(reinterpret_cast<const char*>(name_nonce12), 12);
  rec.append(reinterpret_cast<const char*>(name_tag), 16);
  put_le(rec, start + name.size() + 41, 8);
  put_le(rec, value.size(), 4);
  rec += value_cipher;
  rec.append(reinterpret_cast<const char*>(value_nonce12), 12);
  rec.append(reinterpret_cast<const char*>(value_tag), 16);
  return rec;
}

bool contains_bytes(const std::string& haystack, const std::string& needle) {
  return !needle.empty() && haystack.find(needle) != std::string::npos;
}

std::vector<std::string> files_below(const std::string& dir, const std::string& skip) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (!skip.empty() && it->path().string().rfind(skip, 0) == 0) continue;
    if (it->is_regular_file(ec)) out.push_back(it->path().string());
  }
  return out;
}

namespace {

// ".<digits>-<8 hex digits>.safe"
bool temporary_suffix(const std::string& suffix) {
  const std::string ext = ".safe";
  if (suffix.size() < 1 + 1 + 1 + 8 + ext.size() || suffix[0] != '.' ||
      suffix.compare(suffix.size() - ext.size(), ext.size(), ext) != 0) {
    return false;
  }
  const std::string middle = suffix.substr(1, suffix.size() - 1 - ext.size());
  const std::size_t dash = middle.find('-');
  if (dash == std::string::npos || dash == 0 || middle.size() - dash - 1 != 8) return false;
  for (std::size_t i = 0; i < dash; ++i) {
    if (middle[i] < '0' || middle[i] > '9') return false;
  }
  for (std::size_t i = dash + 1; i < middle.size(); ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(middle[i]))) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> removal_temporaries(const std::string& store_path) {
  const std::filesystem::path store(store_path);
  const std::string base = store.filename().string();
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator(store.parent_path(), ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > base.size() && name.compare(0, base.size(), base) == 0 &&
        temporary_suffix(name.substr(base.size()))) {
      out.push_back(entry.path().string());
    }
  }
  return out;
}

std::string value_for(const std::string& name, std::size_t max_length) {
  // FNV-1a over the name seeds a xorshift generator.
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
  auto next = [&h]() {
    h ^= h << 13;
    h ^= h >> 7;
    h ^= h << 17;
    return h;
  };
  next();
  std::size_t length = 1 + static_cast<std::size_t>(next() % max_length);
  std::string value(length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    value[i] = static_cast<char>(next() & 0xff);
  }
  // Always carry a zero byte inside when there is room for one.
  if (length > 24) value[length / 2] = '\0';
  return value;
}

}  // namespace kel::robust
