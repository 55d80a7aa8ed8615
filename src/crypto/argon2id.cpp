// The memory-hard key derivation of format 2: Argon2id through the
// reference implementation (libargon2). Its working memory, which holds
// material derived from the password, comes from pages of its own kept out
// of core dumps, and libargon2 wipes it before it is released.
#include <argon2.h>
#include <sys/mman.h>

#include <algorithm>
#include <limits>

#include "crypto/argon2id.h"
#include "store/secret.h"
#include "kel/store.h"
#include "store/status_note.h"

namespace kel {

namespace {

int allocate_pages(std::uint8_t** memory, std::size_t size) {
  void* pages = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) return ARGON2_MEMORY_ALLOCATION_ERROR;
  ::madvise(pages, size, MADV_DONTDUMP);
  *memory = static_cast<std::uint8_t*>(pages);
  return ARGON2_OK;
}

void free_pages(std::uint8_t* memory, std::size_t size) { ::munmap(memory, size); }

bool fits(std::size_t length) { return length <= std::numeric_limits<std::uint32_t>::max(); }

}  // namespace

int detail::derive_argon2id(const unsigned char* password, std::size_t password_length,
                           const unsigned char* salt, std::size_t salt_length,
                           std::uint32_t memory_kib, std::uint32_t passes,
                           std::uint32_t lanes, unsigned char* out,
                           std::size_t out_length, std::string& error,
                           const unsigned char* secret, std::size_t secret_length,
                           const unsigned char* ad, std::size_t ad_length,
                           unsigned threads) {
  if (!fits(password_length) || !fits(salt_length) || !fits(out_length) ||
      !fits(secret_length) || !fits(ad_length)) {
    detail::fail(error, Status::invalid_argument,
                 "Could not derive key: an input is too long");
    return -1;
  }
  argon2_context context{};
  // libargon2 takes non-const pointers but only reads these inputs (no
  // clearing flag is set).
  context.out = out;
  context.outlen = static_cast<std::uint32_t>(out_length);
  context.pwd = const_cast<std::uint8_t*>(password);
  context.pwdlen = static_cast<std::uint32_t>(password_length);
  context.salt = const_cast<std::uint8_t*>(salt);
  context.saltlen = static_cast<std::uint32_t>(salt_length);
  context.secret = const_cast<std::uint8_t*>(secret);
  context.secretlen = static_cast<std::uint32_t>(secret_length);
  context.ad = const_cast<std::uint8_t*>(ad);
  context.adlen = static_cast<std::uint32_t>(ad_length);
  context.t_cost = passes;
  context.m_cost = memory_kib;
  context.lanes = lanes;
  // libargon2 refuses more threads than lanes; 0 means the caller's alone.
  context.threads = std::clamp(std::min(threads, kMaxKdfThreads), 1u, std::max(lanes, 1u));
  context.version = ARGON2_VERSION_13;
  context.allocate_cbk = allocate_pages;
  context.free_cbk = free_pages;
  context.flags = ARGON2_DEFAULT_FLAGS;
  try {
    int rc = argon2_ctx(&context, Argon2_id);
    if (rc == ARGON2_THREAD_FAIL) {
      // No thread could be started (a process at its limit): the same key,
      // computed in this thread alone, is only slower.
      context.threads = 1;
      rc = argon2_ctx(&context, Argon2_id);
    }
    if (rc == ARGON2_OK) return 0;
    detail::fail(
        error, Status::internal,
        std::string("Could not derive key: ") + argon2_error_message(rc));
  } catch (...) {
    detail::fail_unexpected(error, "derive key");
  }
  mem_clear(out, out_length);
  return -1;
}

}  // namespace kel
