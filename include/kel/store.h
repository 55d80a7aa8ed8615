// kel::Store: the engine behind one kel::Safe, one object per store file.
// It holds the store file's path and descriptor, the store password (until
// the store is opened), a copy of the file's header, the index of item names
// and the store key, masked, for as long as the store is open.
//
// The engine is exported for white-box use; applications use kel::Safe.
// Fallible calls return 0 (or true) on success and -1 (or false) with a
// message in the error text; a few cipher calls return 1 / -1 and print one
// diagnostic line on standard output instead. One Store serves one thread at
// a time.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kel/export.h"
#include "kel/item.h"

namespace kel {

namespace detail {
struct Engine;
}  // namespace detail

class KEL_SAFE_EXPORT Store {
 public:
  // ---- Data model -------------------------------------------------------
  std::string file_extension = ".safe";
  // Descriptor of the store file, -1 when none is open.
  int store_fd = -1;
  // True once the password was checked, the key unwrapped and the index built.
  bool store_opened = false;
  // The store password; wiped (zero bytes, same length) once the store is open.
  std::string password;
  // Path of the store file (the name with ".safe" appended unless present).
  std::string file_path;
  // When the last scan that reached the end of the file finished.
  timespec index_time{0, 0};
  // Decrypted item name -> where its value lies. While an index scan is paused,
  // it holds some of the names of the records before the point the scan
  // reached: each name a lookup found, but not yet those it read past on
  // the way, which the scan keeps and enters when it runs on.
  std::unordered_map<std::string, Item> index;
  unsigned char store_key_tag[16] = {};
  unsigned char store_key_cipher[32] = {};
  unsigned char store_key_nonce[12] = {};
  unsigned char password_salt[8] = {};
  unsigned char password_hash[64] = {};
  // The store key, masked with plain ChaCha20 under a random key and IV.
  unsigned char memory_key[32] = {};
  unsigned char memory_iv[16] = {};
  unsigned char masked_store_key[32] = {};
  // The engine's private state (index scan, damage, format-2 keys, file
  // identity): everything kept beyond the members above.
  detail::Engine* engine;

  // ---- Object and file naming -------------------------------------------
  Store();
  Store(const std::string& name, const std::string& password);
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  virtual ~Store();
  // file_path = name, with file_extension appended unless name ends with it.
  void set_file_name(const std::string& name);
  // True when the file now at file_path is not the file the index was built
  // from: another inode, size, modification or status-change time
  // (nanoseconds), none built yet, or an append the last scan stopped at
  // (first byte still zero) has since been finished. A file that cannot be
  // examined counts as unchanged.
  bool is_store_changed();
  // Wipes a buffer (0x00, 0x01, 0x00 passes) in a way the compiler keeps.
  void mem_clear(void* buffer, unsigned long length);

  // ---- File locks and positioned writes ----------------------------------
  // fcntl record locks over [start, start+len) (len 0: to the end, however
  // far the file grows). Results are fcntl's: 0, or -1 with errno set.
  int lock_region(int fd, int cmd, int type, long start, int whence, long len);
  int read_lock(int fd, long start, int whence, long len);
  int read_wait_lock(int fd, long start, int whence, long len);
  int write_lock(int fd, long start, int whence, long len);
  int write_wait_lock(int fd, long start, int whence, long len);
  int unlock_file(int fd, long start, int whence, long len);
  // Writes all `size` bytes at `offset`; 0, or -1 with the error text set.
  int store_write(int fd, long offset, const void* data, long size,
                  std::string& error);

  // ---- Opening ------------------------------------------------------------
  // Opens file_path into store_fd and reads the 132-byte header members.
  int load_header(std::string& text);
  // Checks the password, unwraps the key, builds the index over the whole
  // file, masks the key. Does nothing when the store is open already (its
  // index may then be partial; the engine keeps the paused scan).
  int open_store(std::string& text);
  // Reopens file_path and rebuilds the index with the masked key.
  int reload_store_content(std::string& text);
  // Scans the records of store_fd from offset 132 into the index, reading
  // around damaged records (noted in the engine's damage list), to the end of the file (a
  // paused scan is dropped first). Fails only when the file cannot be read.
  int build_index(const unsigned char* key, std::string& text);

  // ---- Cryptography ---------------------------------------------------------
  int hash_string(int hash_size, const void* first, unsigned int first_length,
                  const void* second, unsigned int second_length,
                  unsigned char* out, std::string& error);
  int store_hash(const unsigned char* password, unsigned long length,
                 const unsigned char* salt, unsigned char* out,
                 std::string& error);
  // Constant-time comparison: the time depends only on the lengths.
  bool verify_hash(const unsigned char* first, unsigned int first_length,
                   const unsigned char* second, unsigned int second_length);
  // 1 on success, -1 on failure (with a line on standard output).
  int chacha20_encrypt(const unsigned char* in, unsigned long length,
                       const unsigned char* key, const unsigned char* iv,
                       unsigned char* out);
  int chacha20_decrypt(const unsigned char* in, unsigned long length,
                       const unsigned char* key, const unsigned char* iv,
                       unsigned char* out);
  int encrypt_chacha20_poly1305(const unsigned char* in, unsigned long length,
                                const unsigned char* key,
                                const unsigned char* nonce, unsigned char* out,
                                unsigned char* tag);
  int decrypt_chacha20_poly1305(const unsigned char* in, unsigned long length,
                                const unsigned char* key,
                                const unsigned char* nonce, unsigned char* out,
                                const unsigned char* tag);
  // 0 when `count` random bytes were written, -1 with the error text set.
  int gen_random(unsigned char* buffer, int count, std::string& error);
  int encrypt_store_key(const unsigned char* key, const std::string& password,
                        const unsigned char* salt, const unsigned char* nonce,
                        unsigned char* key_cipher, unsigned char* tag,
                        std::string& error);
  int decrypt_store_key(const unsigned char* key_cipher,
                        const std::string& password, const unsigned char* salt,
                        const unsigned char* nonce, unsigned char* key,
                        const unsigned char* tag, std::string& error);
  // Masks the 32-byte key in memory under fresh random material.
  void set_store_key(const unsigned char* key);
  // Unmasks the key into `key` (32 bytes); -1 while no key is masked.
  int get_store_key(unsigned char* key);

  // ---- Password lifecycle ---------------------------------------------------
  int validate_password(const std::string& password, std::string& error);
  int create_store(std::string& text);
  bool verify_store_password(std::string& error);
  bool verify_store_password(const std::string& name,
                             const std::string& password, std::string& error);
  int change_store_password(const std::string& name,
                            const std::string& old_password,
                            const std::string& new_password,
                            std::string& text);

  // ---- Items ------------------------------------------------------------------
  int add_item(const std::string& name, const unsigned char* value,
               unsigned long length, std::string& error);
  int get_item(const std::string& name, std::string& value, std::string& error);
  bool exists(const std::string& name);
  int list_items(std::vector<std::string>& names, std::string& error);
  int add_item_from_file(const std::string& name, std::string file_path,
                         std::string& error);
  int remove_item(const std::string& name, std::string& error);
};

}  // namespace kel
