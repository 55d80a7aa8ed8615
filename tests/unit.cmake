# Unit tests of the library's foundation: digests, ciphers, key protection,
# password policy, entries, the Store object, locks and writes, creating,
# verifying and opening stores, the index, and the independent golden store.
# One executable keeps build times low on small machines.
kel_add_test(kel_unit_tests
  unit/digest_test.cpp
  unit/cipher_test.cpp
  unit/key_protection_test.cpp
  unit/password_policy_test.cpp
  unit/store_object_test.cpp
  unit/entry_test.cpp
  unit/locks_and_writes_test.cpp
  unit/create_store_test.cpp
  unit/verify_password_test.cpp
  unit/open_store_test.cpp
  unit/build_index_test.cpp
  unit/golden_store_test.cpp
  support/reference_store.cpp)
