#include "store/parallel_scan.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

#include "crypto/aead_stream.h"
#include "store/format.h"
#include "store/record_reader.h"
#include "store/secret.h"

namespace kel::detail {

namespace {

// Records walked, then opened, at a time: the memory a batch takes stays
// small whatever the store's size.
constexpr std::size_t kBatchRecords = 32768;
constexpr std::size_t kReadBlock = 1024 * 1024;
// More threads than this only add start-up costs: opening a name takes a
// fraction of a microsecond. It also bounds what a count taken from
// elsewhere (an unsigned -1, say) can make a scan allocate and start.
constexpr unsigned kMostThreads = 64;

struct Walked {
  std::size_t fixed_at = 0;  // where its fixed part lies in Batch::fixed
  unsigned name_length = 0;
  std::int64_t value_offset = 0;
  std::uint32_t value_length = 0;
};

// A batch of walked records: their fixed parts copied one after the other,
// and room for their names in plain form at the same places.
struct Batch {
  std::vector<Walked> records;
  std::vector<unsigned char> fixed;
  std::vector<unsigned char> plain;
  std::vector<char> opened;
  ~Batch() { wipe(plain.data(), plain.size()); }
};

// Opens the names of records [first, last) of `batch`; false when one of
// them does not authenticate.
bool open_names(Batch& batch, const unsigned char* key, std::string_view ad,
                std::size_t first, std::size_t last) {
  crypto::AeadStream opener;
  bool keyed = false;
  bool all = true;
  for (std::size_t i = first; i < last; ++i) {
    const Walked& record = batch.records[i];
    const unsigned n = record.name_length;
    const unsigned char* fixed = batch.fixed.data() + record.fixed_at;
    const unsigned char* nonce = fixed + format::name_nonce_at(n);
    const unsigned char* tag = fixed + format::name_tag_at(n);
    keyed = keyed ? opener.restart(nonce, tag, ad) : opener.begin(key, nonce, false, tag, ad);
    const bool opened =
        keyed && opener.update(fixed + format::name_cipher_at(), n,
                               batch.plain.data() + record.fixed_at) &&
        opener.finish();
    batch.opened[i] = opened ? 1 : 0;
    all = all && opened;
  }
  return all;
}

// Opens every name of `batch`, the work shared out over `threads` threads
// (this one included). A thread that cannot be started leaves its share to
// this one.
bool open_batch(Batch& batch, const unsigned char* key, std::string_view ad,
                unsigned threads) {
  const std::size_t count = batch.records.size();
  batch.plain.assign(batch.fixed.size(), 0);
  batch.opened.assign(count, 0);
  const std::size_t share = (count + threads - 1) / threads;
  std::vector<std::thread> helpers;
  std::vector<char> results(threads, 0);
  std::size_t next = share;
  for (unsigned t = 1; t < threads && next < count; ++t, next += share) {
    const std::size_t first = next;
    const std::size_t last = std::min(count, next + share);
    try {
      helpers.emplace_back([&batch, &results, key, ad, first, last, t] {
        try {
          results[t] = open_names(batch, key, ad, first, last) ? 1 : 0;
        } catch (...) {
          results[t] = 0;
        }
      });
    } catch (const std::exception&) {
      results[t] = open_names(batch, key, ad, first, last) ? 1 : 0;
    }
  }
  bool all = open_names(batch, key, ad, 0, std::min(count, share));
  for (std::thread& helper : helpers) helper.join();
  const unsigned used = static_cast<unsigned>((count + share - 1) / share);
  for (unsigned t = 1; t < used; ++t) all = all && results[t] == 1;
  return all;
}

}  // namespace

int index_in_parallel(Store& store, IndexScan& scan, const unsigned char* key,
                      unsigned threads) {
  threads = std::min(threads, kMostThreads);
  const off_t size = scan.file().size;
  RecordReader reader(scan.fd(), kReadBlock);
  Batch batch;
  std::string name;
  StringWiper wipe_name(name);
  off_t at = format::kHeaderSize;
  auto give_up = [&store] {
    clear_index(store.index);
    return 0;
  };
  while (at < size) {
    // Walk a batch of records.
    batch.records.clear();
    batch.fixed.clear();
    while (at < size && batch.records.size() < kBatchRecords) {
      unsigned char n = 0;
      const ssize_t got = reader.read(at, &n, 1);
      if (got < 0) return -1;
      const long fixed = format::fixed_part_size(n);
      if (got != 1 || n == 0 || at + fixed > size) return give_up();
      Walked record;
      record.fixed_at = batch.fixed.size();
      record.name_length = n;
      batch.fixed.resize(record.fixed_at + static_cast<std::size_t>(fixed));
      unsigned char* bytes = batch.fixed.data() + record.fixed_at;
      const ssize_t read = reader.read(at, bytes, static_cast<std::size_t>(fixed));
      if (read < 0) return -1;
      if (read != fixed) return give_up();
      record.value_offset = format::get_i64(bytes + format::value_offset_at(n));
      record.value_length = format::get_u32(bytes + format::value_length_at(n));
      const long long end = record.value_offset + format::value_part_size(record.value_length);
      if (record.value_offset != at + fixed || end > size) return give_up();
      batch.records.push_back(record);
      at = static_cast<off_t>(end);
    }
    // Open its names, then enter them in file order.
    if (!open_batch(batch, key, scan.records().binding().name_ad(), threads)) return give_up();
    for (const Walked& record : batch.records) {
      Item item;
      item.value_offset = record.value_offset;
      item.value_length = record.value_length;
      name.assign(reinterpret_cast<const char*>(batch.plain.data() + record.fixed_at),
                  record.name_length);
      store.index.try_emplace(name, std::move(item));
    }
    wipe(batch.plain.data(), batch.plain.size());
  }
  timespec_get(&store.index_time, TIME_UTC);
  store.indexed_file = scan.file();
  store.index_end = static_cast<long>(size);
  store.claims_end = static_cast<long>(size);
  store.unfinished_name_length = 0;
  store.damaged.clear();
  return 1;
}

}  // namespace kel::detail
