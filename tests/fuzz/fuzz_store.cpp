// libFuzzer target: hostile store files. The input stands for the records
// region of a store whose header (password, salt, wrapped key) is valid, so
// that the fuzzer reaches the record scan, the value reads, the integrity
// check, the removal's rewrite and the append. It is either those bytes as
// they are, or a description of records that are sealed properly and then
// damaged, so that the fuzzer can build many records whose names
// authenticate.
//
// Each run lists the store, reads every item (whole and streamed), checks
// it, adds one item, removes one, repairs it when the check found damage
// (after which it must check clean), and then checks with a fresh Store that
// nothing readable before was lost or altered and that the acknowledged add
// reads back. Any violation aborts, so that the fuzzer keeps the input.
//
// Speed: the store key is fixed, so stores are opened with it directly
// instead of deriving it from the password (which cost more than all the
// rest of a run), and the input is served from a memory file. Only the
// removal and the repair, which rename files, work on a file in the scratch
// directory.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "items/integrity.h"
#include "items/item_reads.h"
#include "fuzz/fixed_store.h"
#include "kel/store.h"

namespace {

// KEL_SAFE_FUZZ_MEMORY_ONLY=1 reports violations without stopping, to look
// for memory errors beyond a known logic fault while it is being fixed.
bool memory_only() {
  static const bool only = [] {
    const char* value = std::getenv("KEL_SAFE_FUZZ_MEMORY_ONLY");
    return value != nullptr && value[0] == '1';
  }();
  return only;
}

void violated(const char* what, const std::string& detail) {
  if (memory_only()) return;
  std::fprintf(stderr, "store invariant violated: %s (%s)\n", what, detail.c_str());
  std::abort();
}

bool write_at(int fd, const std::string& bytes) {
  if (::ftruncate(fd, 0) != 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                               static_cast<off_t>(done));
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string read_whole(int fd) {
  std::string out;
  char buffer[65536];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
    if (n <= 0) return out;
    out.append(buffer, static_cast<std::size_t>(n));
    at += n;
  }
}

// The input's store, in memory, for the life of the process.
struct MemoryStore {
  int fd = ::memfd_create("fuzz-store", MFD_CLOEXEC);
  std::string path = "/proc/self/fd/" + std::to_string(fd);
};

// Opens the store at `path` as open_store does, with the fixed store key
// handed in instead of unwrapped with the password-derived key.
int open_with_fixed_key(kel::Store& store, const std::string& path, std::string& error) {
  store.file_path = path;
  if (store.load_header(error) != 0) return -1;
  const unsigned char* key = kel::fuzz::fixed_store_key();
  if (store.build_index(key, error) != 0) return -1;
  store.set_store_key(key);
  if (!store.engine->keys.store_key_masked) {
    error = "Could not get store key";
    return -1;
  }
  store.mem_clear(store.password.data(), store.password.size());
  store.store_opened = true;
  return 0;
}

// The report must describe the file: damage inside the records region, in
// order and apart; a clean report only when every listed name reads back.
void expect_sound_report(const kel::IntegrityReport& report, std::size_t file_size,
                         std::size_t listed, std::size_t readable) {
  std::int64_t after = 132;
  for (const auto& region : report.damaged) {
    if (region.offset < after || region.length <= 0 ||
        region.offset + region.length > static_cast<std::int64_t>(file_size)) {
      violated("damaged region out of place", std::to_string(region.offset));
    }
    after = region.offset + region.length;
  }
  if (report.clean() && readable != listed) {
    violated("check passed a store with unreadable entries", std::to_string(listed));
  }
  if (report.intact < readable) violated("check counted too few intact entries", "");
}

const std::string kAddedName = "fuzz-added-name";
const std::string kAddedValue = "fuzz added value";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const MemoryStore memory;
  if (memory.fd < 0) std::abort();
  const std::string file =
      kel::fuzz::fixed_header() + kel::fuzz::records_from_input(data, size);
  if (!write_at(memory.fd, file)) std::abort();

  std::map<std::string, std::string> readable;
  std::vector<std::string> names;
  bool added = false;
  bool clean = false;
  {
    kel::Store store(memory.path, kel::fuzz::kPassword);
    std::string error;
    if (open_with_fixed_key(store, memory.path, error) != 0 ||
        store.list_items(names, error) != 0) {
      if (error.empty()) violated("failure without a message", "open or list");
      return 0;
    }
    for (const auto& name : names) {
      std::string e;
      if (kel::detail::exists(store, name, e) != 1) violated("listed name does not exist", name);
      std::string value;
      if (store.get_item(name, value, e) == 0) {
        readable[name] = value;
      } else if (e.empty()) {
        violated("failure without a message", "get");
      }
      const int out = ::memfd_create("value", MFD_CLOEXEC);
      if (out >= 0) {
        std::string e2;
        const int rc = kel::detail::get_item_to_fd(store, name, out, e2, kel::Progress());
        if (rc != 0 && e2.empty()) violated("failure without a message", "get to fd");
        if (rc == 0 && readable.count(name) && read_whole(out) != readable[name]) {
          violated("streamed value differs from the value read whole", name);
        }
        ::close(out);
      }
    }
    kel::IntegrityReport report;
    if (kel::detail::check(store, report, error) != 0) {
      violated("check failed on a readable store", error);
    }
    expect_sound_report(report, file.size(), names.size(), readable.size());
    clean = report.clean();
    std::string e;
    added = store.add_item(kAddedName, reinterpret_cast<const unsigned char*>(kAddedValue.data()),
                           kAddedValue.size(), e) == 0;
    if (!added && e.empty()) violated("failure without a message", "add");
  }

  // The removal and the repair rename files, so they run on a copy in the
  // scratch directory.
  kel::fuzz::clear_scratch();
  const std::string path = kel::fuzz::scratch_dir() + "/fuzz.safe";
  std::string removed;
  {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || !write_at(fd, read_whole(memory.fd))) std::abort();
    ::close(fd);
    if (!names.empty()) {
      kel::Store store(path, kel::fuzz::kPassword);
      std::string e;
      if (open_with_fixed_key(store, path, e) != 0) violated("reopening failed", e);
      removed = names[size % names.size()];
      if (store.remove_item(removed, e) != 0) {
        if (e.empty()) violated("failure without a message", "remove");
        removed.clear();
      }
    }
    // A damaged store is repaired, and then checks clean.
    if (!clean) {
      kel::Store store(path, kel::fuzz::kPassword);
      std::string e;
      kel::IntegrityReport report;
      if (open_with_fixed_key(store, path, e) != 0) violated("reopening failed", e);
      if (kel::detail::repair(store, report, e) != 0) {
        if (e.empty()) violated("failure without a message", "repair");
      } else {
        kel::Store repaired(path, kel::fuzz::kPassword);
        if (open_with_fixed_key(repaired, path, e) != 0 ||
            kel::detail::check(repaired, report, e) != 0 || !report.clean()) {
          violated("a repaired store does not check clean", e);
        }
      }
    }
  }

  // What was readable is still readable, byte for byte (the removed item
  // aside), and an acknowledged add reads back.
  kel::Store fresh(path, kel::fuzz::kPassword);
  std::string e;
  if (open_with_fixed_key(fresh, path, e) != 0) violated("store no longer opens", e);
  for (const auto& [name, value] : readable) {
    if (name == removed || name == kAddedName) continue;
    std::string got;
    if (fresh.get_item(name, got, e) != 0) {
      violated("readable item lost", name + ": " + e);
    } else if (got != value) {
      violated("readable item altered", name);
    }
  }
  if (added && removed != kAddedName) {
    std::string got;
    if (fresh.get_item(kAddedName, got, e) != 0) {
      violated("acknowledged add lost", e);
    } else if (got != kAddedValue) {
      violated("acknowledged add altered", "");
    }
  }
  return 0;
}
