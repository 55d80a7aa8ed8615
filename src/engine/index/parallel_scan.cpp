#include "engine/index/parallel_scan.h"

#include <errno.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "crypto/name_open.h"
#include "engine/records/format.h"
#include "engine/records/record_codec.h"
#include "engine/records/record_pattern.h"
#include "engine/records/record_reader.h"
#include "store/secret.h"

namespace kel::detail {

namespace {

// Records walked, then opened, at a time: at most this many, so that the
// memory a batch takes stays small whatever the store's size, and at least
// the other many, so that starting threads for a batch costs little next to
// the batch's work.
constexpr std::size_t kMostBatchRecords = 32768;
constexpr std::size_t kLeastBatchRecords = 1024;
constexpr std::size_t kReadBlock = 1024 * 1024;
// Names a thread takes at a time: enough that taking them costs nothing
// next to opening them, few enough that all threads finish a batch
// together, however much else each of them had to do first.
constexpr std::size_t kChunkRecords = 256;
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
  std::atomic<std::size_t> next{0};  // the first record no thread has taken
  std::atomic<bool> failed{false};   // a name did not authenticate
  ~Batch() { wipe(plain.data(), plain.size()); }
};

// The records of a batch for a file of `size` bytes: about an eighth of
// the most it can hold, so that only a small part of the work (walking the
// first batch, entering the last) overlaps no opening.
std::size_t batch_records(off_t size) {
  const off_t least_record = codec::fixed_part_size(1) + codec::value_part_size(0);
  const auto most = static_cast<std::size_t>((size - format::kHeaderSize) / least_record);
  return std::clamp(most / 8, kLeastBatchRecords, kMostBatchRecords);
}

// Walks up to `count` records from `at` on (below `size`) into `batch`, and
// moves `at` past them. 1: walked; 0: the file is not a run of intact
// records there; -1: a read failed (errno set).
int walk(RecordReader& reader, off_t& at, off_t size, std::size_t count, Batch& batch) {
  batch.records.clear();
  batch.fixed.clear();
  while (at < size && batch.records.size() < count) {
    unsigned char n = 0;
    const ssize_t got = reader.read(at, &n, 1);
    if (got < 0) return -1;
    const long fixed = codec::fixed_part_size(n);
    if (got != 1 || n == 0 || at + fixed > size) return 0;
    Walked record;
    record.fixed_at = batch.fixed.size();
    record.name_length = n;
    batch.fixed.resize(record.fixed_at + static_cast<std::size_t>(fixed));
    unsigned char* bytes = batch.fixed.data() + record.fixed_at;
    const ssize_t read = reader.read(at, bytes, static_cast<std::size_t>(fixed));
    if (read < 0) return -1;
    // The length byte read again with the rest must still say n: the
    // decoding reads no further than the n + 41 bytes read.
    if (read != fixed || bytes[0] != n) return 0;
    const codec::FixedPart part = codec::decode_fixed(bytes);
    record.value_offset = part.value_offset;
    record.value_length = part.value_length;
    const long long end = part.value_end();
    if (!codec::placed_at(part, at) || end > size) return 0;
    // A value that holds what looks like a record's value_offset field may
    // claim too many bytes and hide records (engine/index/record_scan.h).
    const std::size_t claim = static_cast<std::size_t>(end - record.value_offset);
    if (claim >= static_cast<std::size_t>(codec::kFieldToValue)) {
      const unsigned char* value = reader.view(static_cast<off_t>(record.value_offset), claim);
      if (value == nullptr && errno != 0) return -1;
      if (value != nullptr &&
          find_value_offset_field(value, claim - codec::kValueLengthSize, static_cast<off_t>(record.value_offset), 0,
                                  size) >= 0) {
        return 0;
      }
      if (value == nullptr) {  // too large to search whole
        std::vector<std::pair<off_t, unsigned>> starts;
        if (flipped_length_starts(reader.fd(), record.value_offset, record.value_length, size,
                                  starts) != 0) {
          return -1;
        }
        if (!starts.empty()) return 0;
      }
    }
    batch.records.push_back(record);
    at = static_cast<off_t>(end);
  }
  return 1;
}

// Makes a walked batch ready for open_names.
void prepare_to_open(Batch& batch) {
  batch.plain.assign(batch.fixed.size(), 0);
  batch.next.store(0);
  batch.failed.store(false);
}

// Opens names of `batch`, a chunk at a time, until every name is taken or
// one did not authenticate (then `failed` is set). Any number of threads
// may run this on one batch at once; each name is opened by one of them.
void open_names(Batch& batch, const unsigned char* key, std::string_view ad) noexcept {
  const std::size_t count = batch.records.size();
  for (;;) {
    const std::size_t first = batch.next.fetch_add(kChunkRecords);
    if (first >= count || batch.failed.load()) return;
    const std::size_t last = std::min(count, first + kChunkRecords);
    for (std::size_t i = first; i < last; ++i) {
      const Walked& record = batch.records[i];
      const unsigned n = record.name_length;
      const unsigned char* fixed = batch.fixed.data() + record.fixed_at;
      if (!crypto::open_name(key, fixed + codec::name_nonce_at(n),
                             fixed + codec::name_tag_at(n), fixed + codec::name_cipher_at(),
                             n, batch.plain.data() + record.fixed_at, ad)) {
        batch.failed.store(true);
        return;
      }
    }
  }
}

// Threads that open the names of one batch beside the calling thread, and
// are joined however the caller's scope ends. A thread that cannot be
// started leaves its part to the others.
class Helpers {
 public:
  Helpers(unsigned count, Batch& batch, const unsigned char* key, std::string_view ad) {
    threads_.reserve(count);
    for (unsigned t = 0; t < count; ++t) {
      try {
        threads_.emplace_back([&batch, key, ad] { open_names(batch, key, ad); });
      } catch (const std::exception&) {
        break;
      }
    }
  }
  Helpers(const Helpers&) = delete;
  Helpers& operator=(const Helpers&) = delete;
  ~Helpers() { join(); }
  void join() {
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

 private:
  std::vector<std::thread> threads_;
};

// Enters the opened names of `batch` into the index in file order (the
// first record of a name wins), then wipes them. `name` is scratch room.
void enter(Store& store, Batch& batch, std::string& name) {
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

}  // namespace

int index_in_parallel(Store& store, IndexScan& scan, const unsigned char* key,
                      unsigned threads) {
  threads = std::clamp(threads, 1u, kMostThreads);
  const off_t size = scan.file().size;
  // Format 3's names need their values' tags, which this walk of the fixed
  // parts does not read: its files take the sequential scan.
  if (scan.records().binding().needs_value_tag()) return 0;
  const std::string_view ad = scan.records().binding().name_ad(0, nullptr).view();
  const std::size_t per_batch = batch_records(size);
  RecordReader reader(scan.fd(), kReadBlock);
  NameScratch name;
  auto give_up = [&store] {
    clear_index(store.index);
    return 0;
  };
  // Three steps run at once: while the helpers open the names of one batch,
  // this thread enters the batch before it into the index and walks the
  // batch after it, then helps open. Entering and walking are the parts
  // only one thread can do, so they overlap the opening.
  Batch batches[3];
  std::size_t opening = 0;
  std::size_t walked = 1;
  std::size_t entering = 2;
  bool opened_before = false;  // batches[entering] holds opened names
  off_t at = format::kHeaderSize;
  int step = walk(reader, at, size, per_batch, batches[opening]);
  if (step <= 0) return step < 0 ? -1 : give_up();
  // Room for as many records as the file holds at the first batch's rate.
  const double per_record = static_cast<double>(at - format::kHeaderSize) /
                            static_cast<double>(batches[opening].records.size());
  store.index.reserve(static_cast<std::size_t>(
      static_cast<double>(size - format::kHeaderSize) / per_record * 1.05));
  for (;;) {
    Batch& batch = batches[opening];
    prepare_to_open(batch);
    const bool more = at < size;
    {
      Helpers helpers(threads - 1, batch, key, ad);
      if (opened_before) enter(store, batches[entering], name.bytes);
      if (more) step = walk(reader, at, size, per_batch, batches[walked]);
      open_names(batch, key, ad);
      helpers.join();
    }
    if (more && step < 0) return -1;
    if (batch.failed.load() || (more && step == 0)) return give_up();
    opened_before = true;
    const std::size_t entered = entering;
    entering = opening;
    opening = walked;
    walked = entered;
    if (!more) break;
  }
  enter(store, batches[entering], name.bytes);
  timespec_get(&store.index_time, TIME_UTC);
  store.engine->index.indexed_file = scan.file();
  store.engine->index.index_end = static_cast<long>(size);
  store.engine->index.claims_end = static_cast<long>(size);
  store.engine->index.unfinished_name_length = 0;
  store.engine->index.damaged.clear();
  return 1;
}

}  // namespace kel::detail
