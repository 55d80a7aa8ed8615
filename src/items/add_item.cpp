// Adding one item from memory: the whole record is sealed first, then
// appended under the lock.
#include <vector>

#include "crypto/primitives.h"
#include "crypto/aead.h"
#include "engine/records/append.h"
#include "kel/store.h"
#include "engine/index/current_file.h"
#include "engine/records/format.h"
#include "engine/records/record_codec.h"
#include "store/secret.h"
#include "store/status_note.h"

namespace kel {

namespace {

// Seals the value into its place in `record` (cipher, nonce, tag).
int seal_value(const unsigned char* key, const unsigned char* value,
               unsigned long length, const std::string& name, unsigned char* record,
               const detail::Binding& binding, std::string& error) {
  const long n = static_cast<long>(name.size());
  unsigned char* cipher = record + codec::fixed_part_size(n);
  unsigned char* nonce = cipher + codec::value_nonce_at(length);
  unsigned char* tag = cipher + codec::value_tag_at(length);
  // The message below names the step; the random source's own text says less.
  std::string ignored;
  if (detail::gen_random(nonce, format::kNonceSize, ignored) != 0) {
    detail::fail(error, Status::internal, "Could not generate item iv");
    return -1;
  }
  if (crypto::seal(value, length, key, nonce, cipher, tag, binding.value_ad(name)) == -1) {
    error += "Could not encrypt item value";
    detail::set_status(Status::internal);
    return -1;
  }
  return 0;
}

int append_record(Store& store, const unsigned char* key, const std::string& name,
                  std::vector<unsigned char>& record, std::uint32_t length,
                  const detail::Binding& binding, std::string& error) {
  const long n = static_cast<long>(name.size());
  detail::Append append(store, key, name, binding, error);
  if (!append.ok()) return -1;
  // The name is sealed once its place is known, bound to the value's tag
  // (format 3), with the binding of the file under the lock.
  const detail::Binding under_lock = append.binding();
  const unsigned char* tag =
      record.data() + codec::fixed_part_size(n) + codec::value_tag_at(length);
  if (detail::seal_name(store, key, name, length, record.data(), error, &under_lock,
                        append.start(), tag) != 0) {
    return -1;
  }
  codec::put_start(record.data(), n, append.start());
  if (append.write_body(0, record.data() + 1, static_cast<long>(record.size() - 1),
                        error) != 0 ||
      append.finish(name, length, record[0], error) != 0) {
    return -1;
  }
  return 0;
}

}  // namespace

int Store::add_item(const std::string& name, const unsigned char* value,
                    unsigned long length, std::string& error) {
  try {
    if (detail::prepare_to_add(*this, error) != 0) return -1;
    if (detail::check_new_item(*this, name, length, error) != 0) return -1;
    const long n = static_cast<long>(name.size());
    std::vector<unsigned char> record(
        static_cast<std::size_t>(codec::record_size(n, static_cast<long long>(length))));
    detail::SecretBytes<format::kKeySize> key;
    if (get_store_key(key.data()) != 0) {
      detail::fail(error, Status::internal, "Could not get store key");
      return -1;
    }
    const detail::Binding binding = detail::binding_of(*this);
    if (seal_value(key.data(), value, length, name, record.data(), binding,
                   error) != 0) {
      return -1;
    }
    return append_record(*this, key.data(), name, record,
                         static_cast<std::uint32_t>(length), binding, error);
  } catch (...) {
    detail::fail(error, Status::internal,
                 "Unknown exception while adding new entry to store.");
    return -1;
  }
}

}  // namespace kel
