// New records for a rewrite (engine/records/rewrite.h): an item sealed afresh from a
// value in memory, from a file, or from an existing record's value under a
// new name. Every new record gets fresh random nonces for its name and its
// value; plain bytes pass through wiped buffers a piece at a time, so memory
// use does not grow with the value. Records are bound as the file being
// rewritten is (engine/keyring/binding.h) when the writer runs, unless said otherwise.
#pragma once

#include <cstdint>
#include <string>

#include "kel/store.h"
#include "engine/keyring/binding.h"
#include "engine/records/rewrite.h"

namespace kel::detail {

// `value` must stay alive until the rewrite is done.
RecordWriter value_writer(Store& store, const unsigned char* key,
                          const std::string& name, const unsigned char* value,
                          unsigned long length);

// Reads the descriptor `fd` to its end (the file at `path`, for messages).
// Refuses an empty input and one longer than a value can be.
RecordWriter file_writer(Store& store, const unsigned char* key,
                         const std::string& name, int fd, const std::string& path);

// The value of the existing item `old_name` (`item`, of the store's file as
// it is now), opened and sealed again under `name`, bound as `target` says
// (null: as the store's file), under `seal_key` (null: `key`, which opens
// the old value; another key when the new file gets a new store key).
// Fails unless the old value authenticates.
RecordWriter resealing_writer(Store& store, const unsigned char* key,
                              const std::string& old_name, const std::string& name,
                              const Item& item, const Binding* target = nullptr,
                              const unsigned char* seal_key = nullptr);

}  // namespace kel::detail
