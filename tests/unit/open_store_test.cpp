// Opening a store: password check, header, key unwrapping, index, wiping the
// held password, descriptors, read-only stores and hostile files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "kel/store.h"
#include "support/reference_store.h"
#include "support/test_support.h"
#include "support/unit_util.h"

#if defined(__SANITIZE_ADDRESS__)
#define KEL_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEL_TEST_ASAN 1
#endif
#endif

#ifdef KEL_TEST_ASAN
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, std::size_t),
    void (*free_hook)(const volatile void*));
#endif

namespace {

using kel::test::errno_text;
using kel::test::kOtherPassword;
using kel::test::kPassword;
using kel::test::read_file;
using kel::test::TempDir;
using kel::test::write_file;
namespace ref = kel::test::ref;

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// A store file with three items, written by the test.
class OpenStore : public testing::Test {
 protected:
  void SetUp() override {
    name = dir.file("vault");
    path = name + ".safe";
    ref::StoreImage image(kPassword);
    image.add("alpha", "one");
    image.add("beta", "two");
    image.add("gamma", std::string("with\0zero", 9));
    key = image.store_key();
    write_file(path, image.bytes());
  }
  TempDir dir;
  std::string name;
  std::string path;
  std::string key;
};

TEST_F(OpenStore, OpensIndexesAndWipesThePassword) {
  kel::Store store(name, kPassword);
  std::string text = "untouched";
  ASSERT_EQ(store.open_store(text), 0) << text;
  EXPECT_TRUE(store.store_opened);
  EXPECT_GE(store.store_fd, 0);
  EXPECT_EQ(store.index.size(), 3u);
  EXPECT_EQ(store.password, std::string(kPassword.size(), '\0'));
  // Header members hold the file's header.
  const std::string file = read_file(path);
  EXPECT_EQ(kel::test::as_string(store.password_hash, 64), file.substr(0, 64));
  EXPECT_EQ(kel::test::as_string(store.password_salt, 8), file.substr(64, 8));
  EXPECT_EQ(kel::test::as_string(store.store_key_cipher, 32), file.substr(72, 32));
  EXPECT_EQ(kel::test::as_string(store.store_key_nonce, 12), file.substr(104, 12));
  EXPECT_EQ(kel::test::as_string(store.store_key_tag, 16), file.substr(116, 16));
  // The masked key is the file's store key.
  unsigned char held[32] = {};
  ASSERT_EQ(store.get_store_key(held), 0);
  EXPECT_EQ(kel::test::as_string(held, 32), key);
  std::string value, error;
  ASSERT_EQ(store.get_item("gamma", value, error), 0) << error;
  EXPECT_EQ(value, std::string("with\0zero", 9));
}

TEST_F(OpenStore, SecondOpenDoesNothing) {
  kel::Store store(name, kPassword);
  std::string text;
  ASSERT_EQ(store.open_store(text), 0) << text;
  const int fd = store.store_fd;
  ASSERT_EQ(std::remove(path.c_str()), 0);
  text = "untouched";
  EXPECT_EQ(store.open_store(text), 0);
  EXPECT_EQ(text, "untouched");
  EXPECT_EQ(store.store_fd, fd);
  EXPECT_EQ(store.index.size(), 3u);
}

TEST_F(OpenStore, AlteredKeyMaterialInTheHeaderIsRefused) {
  const std::string original = read_file(path);
  for (std::size_t at : {72u, 90u, 103u, 104u, 110u, 115u, 116u, 124u, 131u}) {
    std::string damaged = original;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x01);
    write_file(path, damaged);
    kel::Store store(name, kPassword);
    std::string text;
    kel::test::DiagnosticCapture capture;
    EXPECT_EQ(store.open_store(text), -1) << at;
    capture.take();
    EXPECT_EQ(text, "Could not decrypt store key cipher") << at;
    EXPECT_EQ(store.store_fd, -1) << at;
    EXPECT_FALSE(store.store_opened) << at;
    EXPECT_TRUE(store.index.empty()) << at;
  }
}

TEST_F(OpenStore, MissingFileFailsInThePasswordCheck) {
  kel::Store store(dir.file("absent"), kPassword);
  std::string text;
  EXPECT_EQ(store.open_store(text), -1);
  EXPECT_EQ(text, "could not open: " + dir.file("absent.safe") + " - " + errno_text(ENOENT));
  EXPECT_EQ(store.store_fd, -1);
  EXPECT_FALSE(store.store_opened);
}

TEST_F(OpenStore, WrongPasswordOpensNothing) {
  kel::Store store(name, kOtherPassword);
  std::string text;
  EXPECT_EQ(store.open_store(text), -1);
  EXPECT_EQ(text, "Invalid password");
  EXPECT_FALSE(store.store_opened);
  EXPECT_TRUE(store.index.empty());
  EXPECT_EQ(store.password, kOtherPassword);
}

TEST_F(OpenStore, FailedOpeningKeepsThePasswordForARetry) {
  const std::string good = read_file(path);
  // The sealed store key damaged: the password matches, the key does not open.
  std::string damaged = good;
  damaged[80] = static_cast<char>(damaged[80] ^ 1);
  write_file(path, damaged);
  kel::Store store(name, kPassword);
  std::string text;
  kel::test::DiagnosticCapture capture;
  EXPECT_EQ(store.open_store(text), -1);
  capture.take();
  EXPECT_EQ(text, "Could not decrypt store key cipher");
  EXPECT_FALSE(store.store_opened);
  EXPECT_EQ(store.password, kPassword);
  // Repaired file, same object: the retry succeeds and only then wipes.
  write_file(path, good);
  ASSERT_EQ(store.open_store(text), 0) << text;
  EXPECT_TRUE(store.store_opened);
  EXPECT_EQ(store.index.size(), 3u);
  EXPECT_EQ(store.password, std::string(kPassword.size(), '\0'));
}

TEST_F(OpenStore, RepeatedOpeningsLeaveNoDescriptorBehind) {
  const int before = kel::test::open_descriptor_count();
  for (int i = 0; i < 20; ++i) {
    kel::Store store(name, kPassword);
    std::string text;
    ASSERT_EQ(store.open_store(text), 0) << text;
    std::string error;
    EXPECT_TRUE(store.verify_store_password(error)) << error;
  }
  EXPECT_EQ(kel::test::open_descriptor_count(), before);

  kel::Store store(name, kPassword);
  std::string text;
  ASSERT_EQ(store.open_store(text), 0) << text;
  const int opened = kel::test::open_descriptor_count();
  EXPECT_EQ(opened, before + 1);
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(store.load_header(text), 0) << text;
  }
  EXPECT_EQ(kel::test::open_descriptor_count(), opened);
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(store.reload_store_content(text), 0) << text;
  }
  EXPECT_EQ(kel::test::open_descriptor_count(), opened);
  EXPECT_EQ(store.index.size(), 3u);
}

TEST_F(OpenStore, FailedOpeningsLeaveNoDescriptorBehind) {
  std::string damaged = read_file(path);
  damaged[80] = static_cast<char>(damaged[80] ^ 0x01);
  write_file(path, damaged);
  const int before = kel::test::open_descriptor_count();
  kel::test::DiagnosticCapture capture;
  for (int i = 0; i < 10; ++i) {
    kel::Store store(name, kPassword);
    std::string text;
    EXPECT_EQ(store.open_store(text), -1);
    EXPECT_EQ(store.open_store(text), -1);
  }
  capture.take();
  EXPECT_EQ(kel::test::open_descriptor_count(), before);
}

TEST_F(OpenStore, LoadHeaderReadsTheFiveFieldsAndStopsAt132) {
  kel::Store store(name, kPassword);
  std::string text;
  ASSERT_EQ(store.load_header(text), 0) << text;
  ASSERT_GE(store.store_fd, 0);
  EXPECT_EQ(lseek(store.store_fd, 0, SEEK_CUR), 132);
  const std::string file = read_file(path);
  EXPECT_EQ(kel::test::as_string(store.password_hash, 64), file.substr(0, 64));
  EXPECT_EQ(kel::test::as_string(store.store_key_tag, 16), file.substr(116, 16));
  EXPECT_FALSE(store.store_opened);
  kel::Store missing(dir.file("absent"), kPassword);
  EXPECT_EQ(missing.load_header(text), -1);
  EXPECT_EQ(text, "Could not open store: " + dir.file("absent.safe") + " - " + errno_text(ENOENT));
  EXPECT_EQ(missing.store_fd, -1);
}

// What a read-only store must still allow, and what it must refuse without
// changing the file. With `make_writable`, the same open store must add once
// that has made the file writable. Returns a description of every deviation.
std::string check_read_only_store(const std::string& name, const std::string& path,
                                  const std::function<bool()>& make_writable = {}) {
  std::string problems;
  const std::string before = read_file(path);
  kel::Store store(name, kPassword);
  std::string error;
  if (!store.verify_store_password(error)) problems += "verify failed: " + error + "; ";
  std::string text;
  if (store.open_store(text) != 0) return problems + "open failed: " + text;
  if (!store.engine->file.read_only) problems += "read_only not set; ";
  std::vector<std::string> names;
  if (store.list_items(names, error) != 0) problems += "list failed: " + error + "; ";
  if (sorted(names) != std::vector<std::string>{"alpha", "beta", "gamma"}) {
    problems += "listed names differ; ";
  }
  std::string value;
  if (store.get_item("beta", value, error) != 0 || value != "two") {
    problems += "get_item failed: " + error + "; ";
  }
  if (!store.exists("alpha")) problems += "exists(alpha) false; ";
  error.clear();
  const std::string added = "new value";
  if (store.add_item("new", reinterpret_cast<const unsigned char*>(added.data()), added.size(),
                     error) != -1) {
    problems += "add_item succeeded; ";
  }
  if (error.empty()) problems += "add_item gave no message; ";
  if (read_file(path) != before) problems += "the file changed; ";
  if (!store.exists("alpha") || store.exists("new")) problems += "index changed; ";
  if (make_writable && (!make_writable() ||
                        store.add_item("new", reinterpret_cast<const unsigned char*>(added.data()),
                                       added.size(), error) != 0 ||
                        !store.exists("new"))) {
    problems += "add_item after the file became writable failed: " + error + "; ";
  }
  return problems;
}

TEST_F(OpenStore, StoreWithoutWritePermissionIsReadable) {
  const std::string report = ref::run_in_child([&]() -> std::string {
    if (geteuid() == 0) {
      // Root may write anything: become an unprivileged user for whom the
      // file is readable only.
      if (chmod(dir.path().c_str(), 0755) != 0 || chmod(path.c_str(), 0444) != 0 ||
          chown(path.c_str(), 65534, 65534) != 0) {
        return "chmod failed";
      }
      if (setgid(65534) != 0 || setuid(65534) != 0) return "SKIP: cannot drop privileges";
    } else if (chmod(path.c_str(), 0440) != 0) {
      return "chmod failed";
    }
    const int fd = open(path.c_str(), O_RDWR);
    if (fd >= 0) {
      close(fd);
      return "SKIP: the file is still writable";
    }
    return check_read_only_store(name, path, [&] { return chmod(path.c_str(), 0600) == 0; });
  });
  if (report.rfind("SKIP:", 0) == 0) GTEST_SKIP() << report;
  EXPECT_EQ(report, "");
}

TEST_F(OpenStore, StoreOnAReadOnlyFilesystemIsReadable) {
  const std::string report = ref::run_in_child([&]() -> std::string {
    // A private mount namespace, so that the read-only view of the test
    // directory exists for this child only.
    const std::string where = dir.path().string();
    if (unshare(CLONE_NEWNS) != 0) return "SKIP: unshare: " + errno_text(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return "SKIP: private mounts: " + errno_text(errno);
    }
    if (mount(where.c_str(), where.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return "SKIP: bind mount: " + errno_text(errno);
    }
    if (mount(nullptr, where.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      return "SKIP: read-only remount: " + errno_text(errno);
    }
    const int fd = open(path.c_str(), O_RDWR);
    if (fd >= 0) {
      close(fd);
      return "SKIP: the file is still writable";
    }
    if (errno != EROFS) return "SKIP: open gave " + errno_text(errno);
    return check_read_only_store(name, path);
  });
  if (report.rfind("SKIP:", 0) == 0) GTEST_SKIP() << report;
  EXPECT_EQ(report, "");
}

// Hostile and damaged value parts.
class HostileValues : public testing::Test {
 protected:
  TempDir dir;
  std::string name = dir.file("hostile");
  std::string path = name + ".safe";
};

#ifdef KEL_TEST_ASAN
std::atomic<bool> g_recording{false};
std::atomic<std::size_t> g_largest{0};
void record_malloc(const volatile void*, std::size_t size) {
  if (!g_recording.load(std::memory_order_relaxed)) return;
  std::size_t seen = g_largest.load(std::memory_order_relaxed);
  while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
  }
}
void record_free(const volatile void*) {}
#endif

TEST_F(HostileValues, HugeClaimedValueLengthFailsWithoutAHugeAllocation) {
  ref::StoreImage image(kPassword);
  image.add("ok", "fine");
  ref::RecordOptions claim;
  claim.value_length = 4294967295u;
  const std::int64_t start = image.add("huge", std::string(40, 'v'), claim);
  image.truncate(static_cast<std::size_t>(start) + 4 + 41 + 20);
  write_file(path, image.bytes());
  ASSERT_LT(read_file(path).size(), 300u);

  const std::string report = ref::run_in_child([&]() -> std::string {
    std::string problems;
#ifdef KEL_TEST_ASAN
    static const bool installed =
        __sanitizer_install_malloc_and_free_hooks(record_malloc, record_free) != 0;
    if (!installed) return "could not install the allocation hook";
#else
    // Allow this process 1 GiB more address space than it has: a buffer of
    // the claimed 4 GiB cannot be had.
    std::ifstream statm("/proc/self/statm");
    unsigned long pages = 0;
    statm >> pages;
    const rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (1ul << 30);
    rlimit rl{limit, limit};
    if (setrlimit(RLIMIT_AS, &rl) != 0) return "setrlimit failed";
#endif
    kel::Store store(name, kPassword);
    std::string text;
    if (store.open_store(text) != 0) return "open failed: " + text;
    const auto it = store.index.find("huge");
    if (it == store.index.end()) {
      problems += "the record was not indexed; ";
    } else if (it->second.value_length != 4294967295u) {
      problems += "value_length " + std::to_string(it->second.value_length) + "; ";
    }
    std::string value, error;
#ifdef KEL_TEST_ASAN
    g_recording = true;
#endif
    const int result = store.get_item("huge", value, error);
#ifdef KEL_TEST_ASAN
    g_recording = false;
    if (g_largest > (64u << 20)) {
      problems += "an allocation of " + std::to_string(g_largest.load()) + " bytes; ";
    }
    // The hook does see allocations: a 1 MiB buffer shows up.
    g_recording = true;
    {
      std::vector<char> probe(1u << 20, 'p');
      asm volatile("" : : "r"(probe.data()) : "memory");
    }
    g_recording = false;
    if (g_largest < (1u << 20)) problems += "the allocation hook saw nothing; ";
#endif
    if (result != -1) problems += "get_item returned " + std::to_string(result) + "; ";
    if (error != "Could not decrypt value cipher") problems += "error was '" + error + "'; ";
    if (!value.empty()) problems += "a value was handed out; ";
    if (store.get_item("ok", value, error) != 0 || value != "fine") {
      problems += "the sound item no longer reads: " + error + "; ";
    }
    return problems;
  });
  EXPECT_EQ(report, "");
}

TEST_F(HostileValues, ValueCutShortIsIndexedButDoesNotRead) {
  ref::StoreImage image(kPassword);
  image.add("first", "a good value");
  const std::int64_t start = image.add("last", std::string(500, 'z'));
  image.truncate(static_cast<std::size_t>(start) + 1 + 4 + 40 + 250);
  write_file(path, image.bytes());
  kel::Store store(name, kPassword);
  std::string text;
  ASSERT_EQ(store.open_store(text), 0) << text;
  ASSERT_EQ(store.index.count("last"), 1u);
  EXPECT_EQ(store.index.at("last").value_length, 500u);
  std::string value, error;
  kel::test::DiagnosticCapture capture;
  EXPECT_EQ(store.get_item("last", value, error), -1);
  capture.take();
  EXPECT_EQ(error, "Could not decrypt value cipher");
  ASSERT_EQ(store.get_item("first", value, error), 0) << error;
  EXPECT_EQ(value, "a good value");
}

}  // namespace
