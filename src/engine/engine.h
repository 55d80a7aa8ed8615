// The private state behind one kel::Store, reached through its one handle
// (Store::engine): everything the engine keeps beyond the Store's own
// members. Created by the Store's constructors, freed by its destructor.
#pragma once

#include "engine/index/index_state.h"
#include "engine/keyring/credential.h"
#include "engine/keyring/keyring.h"
#include "engine/file/store_file.h"
#include "kel/store.h"

namespace kel::detail {

struct Binding;

struct Engine {
  IndexState index;
  Keyring keys;
  StoreFile file;
  // How many threads a scan of the whole file may use (1: none but the
  // caller's). See Safe::set_scan_threads.
  unsigned scan_threads = 1;
  // How many threads one Argon2id derivation may use (1: none but the
  // caller's). See Safe::set_kdf_threads.
  unsigned kdf_threads = 1;
  // While a rewrite writes its new file: how that file binds its records
  // (a format-3 file gets a new generation), for the writers of its new
  // records. Null otherwise: they bind as the Store's file.
  const Binding* rewrite_target = nullptr;
  // How many StoreWriteLocks this Store holds now. While one is held, the
  // header cannot change under it, and no shared lock may be taken on the
  // store's descriptor: on the same open file description it would replace
  // the write lock, and its release would leave the file unlocked.
  int write_locks = 0;
  // What opens a format-3 header: the password, the password with a key
  // file, or an identity (Safe::use_key_file, Safe::use_identity).
  Credential credential;
};

inline Engine& engine(Store& store) { return *store.engine; }
inline const Engine& engine(const Store& store) { return *store.engine; }

}  // namespace kel::detail
