# Item operations: adding, reading, listing, importing and removing items,
# changing the store password, and several writers on one store at once.
kel_add_test(kel_items_test
  items/item_support.cpp
  support/reference_store.cpp
  items/add_item_test.cpp
  items/read_item_test.cpp
  items/import_test.cpp
  items/remove_item_test.cpp
  items/change_password_test.cpp
  items/concurrency_test.cpp)
