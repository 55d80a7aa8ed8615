// Argon2id, format 2's password key derivation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kel::detail {

// Argon2id (RFC 9106, version 0x13) of the password under the salt, with
// `memory_kib` KiB, `passes` passes and `lanes` lanes, into `out_length`
// bytes at `out`. The optional secret and associated data are Argon2's own
// inputs K and X. The lanes are computed on up to `threads` threads (at
// most kMaxKdfThreads, and never more than there are lanes), started and
// joined within this call; 1 computes them one after another in the calling
// thread. The key is the same whatever the thread count. 0, or -1 with the
// error text (which never holds the inputs).
int derive_argon2id(const unsigned char* password, std::size_t password_length,
                    const unsigned char* salt, std::size_t salt_length,
                    std::uint32_t memory_kib, std::uint32_t passes, std::uint32_t lanes,
                    unsigned char* out, std::size_t out_length, std::string& error,
                    const unsigned char* secret = nullptr, std::size_t secret_length = 0,
                    const unsigned char* ad = nullptr, std::size_t ad_length = 0,
                    unsigned threads = 1);

// The most threads one derivation starts: past four, more threads gain a
// user little on the machines this runs on and only add to what a call
// that the application did not expect to be busy holds.
constexpr unsigned kMaxKdfThreads = 4;

}  // namespace kel::detail
