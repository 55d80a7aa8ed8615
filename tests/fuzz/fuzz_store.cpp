// libFuzzer target: hostile store files. The input stands for the records
// region of a store whose header (password, salt, wrapped key) is valid, so
// that the fuzzer reaches the record scan, the value reads, the removal's
// rewrite and the append. It is either those bytes as they are, or a
// description of records that are sealed properly and then damaged, so that
// the fuzzer can build many records whose names authenticate. Each run opens the store, lists it, reads every item (whole and
// streamed), removes one item and adds one, then checks with a fresh Safe
// that nothing readable before was lost or altered and that the acknowledged
// add reads back. Any violation aborts, so that the fuzzer keeps the input.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "fuzz/fixed_store.h"
#include "kel/entry.h"
#include "kel/safe.h"

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

bool write_whole(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      ::close(fd);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return true;
}

const std::string kAddedName = "fuzz-added-name";
const std::string kAddedValue = "fuzz added value";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& dir = kel::fuzz::scratch_dir();
  kel::fuzz::clear_scratch();
  const std::string path = dir + "/fuzz.safe";
  const std::string file =
      kel::fuzz::fixed_header() + kel::fuzz::records_from_input(data, size);
  if (!write_whole(path, file)) std::abort();

  std::map<std::string, std::string> readable;
  std::string removed;
  bool added = false;
  {
    kel::Safe safe(path, kel::fuzz::kPassword);
    std::vector<std::string> names;
    std::string error;
    if (safe.list_entries(names, error) != 0) {
      if (error.empty()) violated("failure without a message", "list");
      return 0;
    }
    for (const auto& name : names) {
      if (!safe.exists(name)) violated("listed name does not exist", name);
      kel::Entry entry(name);
      std::string e;
      if (safe.get_entry(entry, e) == 0) {
        readable[name] = std::string(entry.value());
      } else if (e.empty()) {
        violated("failure without a message", "get");
      }
      const int out = ::memfd_create("value", MFD_CLOEXEC);
      if (out >= 0) {
        std::string e2;
        const int rc = safe.get_entry_to_fd(name, out, e2);
        if (rc != 0 && e2.empty()) violated("failure without a message", "get to fd");
        if (rc == 0 && readable.count(name)) {
          const std::string& want = readable[name];
          std::string got(want.size() + 1, '\0');
          const ssize_t n = ::pread(out, got.data(), got.size(), 0);
          if (n != static_cast<ssize_t>(want.size()) ||
              got.compare(0, want.size(), want) != 0) {
            violated("streamed value differs from the value read whole", name);
          }
        }
        ::close(out);
      }
    }
    if (!names.empty()) {
      removed = names[size % names.size()];
      std::string e;
      if (safe.remove_entry(removed, e) != 0) {
        if (e.empty()) violated("failure without a message", "remove");
        removed.clear();
      }
    }
    std::string e;
    added = safe.add_entry(kel::Entry(kAddedName, kAddedValue), e) == 0;
    if (!added && e.empty()) violated("failure without a message", "add");
  }

  // What was readable is still readable, byte for byte (the removed item
  // aside), and an acknowledged add reads back.
  kel::Safe fresh(path, kel::fuzz::kPassword);
  for (const auto& [name, value] : readable) {
    if (name == removed || name == kAddedName) continue;
    kel::Entry entry(name);
    std::string e;
    if (fresh.get_entry(entry, e) != 0) {
      violated("readable item lost", name + ": " + e);
    } else if (entry.value() != value) {
      violated("readable item altered", name);
    }
  }
  if (added) {
    kel::Entry entry(kAddedName);
    std::string e;
    if (fresh.get_entry(entry, e) != 0) {
      violated("acknowledged add lost", e);
    } else if (entry.value() != kAddedValue) {
      violated("acknowledged add altered", "");
    }
  }
  return 0;
}
