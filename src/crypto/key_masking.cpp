// The store key in memory: between operations it is held only masked, under a
// random key and IV drawn anew each time it is set.
#include "crypto/store_key.h"
#include "engine/engine.h"
#include "crypto/ossl.h"
#include "crypto/primitives.h"
#include "kel/store.h"
#include "engine/records/format.h"

namespace kel {

void detail::set_store_key(Store& store, const unsigned char* key) {
  // Until a masking has fully succeeded there is no key to hand out: a half
  // masked key would unmask to garbage and encrypt items nobody can read.
  store.engine->keys.store_key_masked = false;
  // No text to give: a failed masking leaves no key, and the call that asks
  // for it (get_store_key) fails and reports.
  std::string ignored;
  if (gen_random(store.memory_key, sizeof store.memory_key, ignored) != 0) {
    crypto::print_line("Could not generate random password");
    return;
  }
  if (gen_random(store.memory_iv, sizeof store.memory_iv, ignored) != 0) {
    crypto::print_line("Could not generate random iv");
    return;
  }
  if (chacha20_encrypt(key, format::kKeySize, store.memory_key, store.memory_iv,
                       store.masked_store_key) == -1) {
    crypto::print_line("Could not encrypt store key");
    return;
  }
  store.engine->keys.store_key_masked = true;
}

int detail::get_store_key(Store& store, unsigned char* key) {
  if (!store.engine->keys.store_key_masked ||
      chacha20_decrypt(store.masked_store_key, format::kKeySize, store.memory_key,
                       store.memory_iv, key) == -1) {
    crypto::print_line("Could not get store password: -1");
    return -1;
  }
  return 0;
}

}  // namespace kel
