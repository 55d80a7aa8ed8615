// Importing a file as an item's value and writing a value out to a
// descriptor, in pieces.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "items/item_support.h"
#include "kel/entry.h"
#include "kel/safe.h"
#include "kel/store.h"
#include "support/test_support.h"

namespace kel::test::items {
namespace {

class Import : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir.file("import.safe");
    create_store(path, kPassword);
  }
  // Reads the item back through a descriptor into a file and returns it.
  int read_to_file(kel::Safe& safe, const std::string& name, std::string& out,
                   std::string& error) {
    const std::string target = dir.file("out-" + std::to_string(counter++));
    int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return -2;
    int result = safe.get_entry_to_fd(name, fd, error);
    ::close(fd);
    out = read_file(target);
    return result;
  }
  TempDir dir;
  std::string path;
  int counter = 0;
};

TEST_F(Import, FailuresOfTheSourceFile) {
  kel::Store store(path, kPassword);
  std::string error;
  const std::string missing = dir.file("no-such-file");
  EXPECT_EQ(store.add_item_from_file("name", missing, error), -1);
  EXPECT_EQ(error, "Could not open file: " + missing + " - " + strerror(ENOENT));
  EXPECT_FALSE(store.store_opened) << "a missing source file opened the store";
  // An unreadable file's message comes before any name check.
  error.clear();
  EXPECT_EQ(store.add_item_from_file("", missing, error), -1);
  EXPECT_EQ(error, "Could not open file: " + missing + " - " + strerror(ENOENT));

  const std::string empty = dir.file("empty");
  write_file(empty, "");
  error.clear();
  EXPECT_EQ(store.add_item_from_file("name", empty, error), -1);
  EXPECT_EQ(error, "Invalid entry value");

  // A readable file with an invalid name gets add_item's messages.
  const std::string some = dir.file("some");
  write_file(some, "content");
  error.clear();
  EXPECT_EQ(store.add_item_from_file("", some, error), -1);
  EXPECT_EQ(error, "Invalid entry name");
  error.clear();
  EXPECT_EQ(store.add_item_from_file(std::string(256, 'n'), some, error), -1);
  EXPECT_EQ(error, "Entry name length must less than 255 characters");
  ASSERT_EQ(store.add_item_from_file("name", some, error), 0) << error;
  error.clear();
  EXPECT_EQ(store.add_item_from_file("name", some, error), -1);
  EXPECT_EQ(error, "Item exists");

  bool complete = false;
  auto records = parse_records(read_file(path), &complete);
  EXPECT_TRUE(complete);
  EXPECT_EQ(records.size(), 1u) << "a refused import left bytes in the store";
  EXPECT_EQ(dir_entries(dir.path().string()),
            (std::vector<std::string>{"empty", "import.safe", "some"}));
}

// Pipes, FIFOs, /dev/stdin and <(cmd) have no size: they are read to their
// end, and the record's length is filled in before the record appears. The
// same from the caller's own descriptor.
TEST_F(Import, SourcesWithoutASizeAreReadToTheirEnd) {
  const struct {
    std::string name, content, error;
    bool by_fd = false;
  } cases[] = {
      {"one-byte", "\x01", ""},
      {"fd-byte", "\x02", "", true},
      {"fd-empty", "", "Invalid entry value", true},
      {"pieces", pattern(3 * 1024 * 1024 + 5, 7), ""},
      {"empty", "", "Invalid entry value"},
  };
  kel::Safe safe(path, kPassword);
  std::size_t stored = 0;
  for (const auto& c : cases) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    std::thread writer([&c, &ends] {
      std::size_t done = 0;
      while (done < c.content.size()) {
        const ssize_t n = ::write(ends[1], c.content.data() + done, c.content.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
      ::close(ends[1]);
    });
    std::string error;
    const int result =
        c.by_fd ? safe.add_entry_from_fd(c.name, ends[0], error)
                : safe.add_entry_from_file(c.name, "/dev/fd/" + std::to_string(ends[0]), error);
    writer.join();
    ::close(ends[0]);
    if (!c.error.empty()) {
      EXPECT_EQ(result, -1) << c.name;
      EXPECT_EQ(error, c.error) << c.name;
      continue;
    }
    ASSERT_EQ(result, 0) << c.name << ": " << error;
    ++stored;
    kel::Safe fresh(path, kPassword);
    kel::Entry entry(c.name);
    ASSERT_EQ(fresh.get_entry(entry, error), 0) << c.name << ": " << error;
    EXPECT_TRUE(entry.value() == c.content) << c.name;
  }
  bool complete = false;
  const auto records = parse_records(read_file(path), &complete);
  EXPECT_TRUE(complete) << "a refused import left bytes in the store";
  ASSERT_EQ(records.size(), stored);
  EXPECT_EQ(records.back().value_length, 3u * 1024 * 1024 + 5);
  // A regular file's descriptor replaces a value whole, from its start.
  write_file(dir.file("new"), "replaced");
  const int fd = ::open(dir.file("new").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::lseek(fd, 3, SEEK_SET), 3);
  std::string error, out;
  EXPECT_EQ(safe.set_entry_from_fd("one-byte", fd, error), 0) << error;
  ::close(fd);
  ASSERT_EQ(read_to_file(safe, "one-byte", out, error), 0) << error;
  EXPECT_EQ(out, "replaced");
}

TEST_F(Import, SmallAndZeroFilledFiles) {
  kel::Safe safe(path, kPassword);
  std::string error;
  const std::string one = dir.file("one");
  write_file(one, "\x7f");
  ASSERT_EQ(safe.add_entry_from_file("one", one, error), 0) << error;
  const std::string zeros = dir.file("zeros");
  write_file(zeros, std::string(70000, '\0'));
  ASSERT_EQ(safe.add_entry_from_file("zeros", zeros, error), 0) << error;

  kel::Safe fresh(path, kPassword);
  kel::Entry e1("one"), e2("zeros");
  ASSERT_EQ(fresh.get_entry(e1, error), 0) << error;
  EXPECT_EQ(e1.value(), "\x7f");
  ASSERT_EQ(fresh.get_entry(e2, error), 0) << error;
  EXPECT_EQ(e2.length(), 70000u);
  EXPECT_TRUE(e2.value() == std::string(70000, '\0'));
}

// A value of several MiB goes in streamed and must still be one ordinary
// ChaCha20-Poly1305 field: one nonce, one tag, over the whole value.
TEST_F(Import, LargeFileIsOneOrdinaryRecord) {
  const std::string source = dir.file("large");
  const std::string content = pattern(5 * 1024 * 1024 + 12345, 42);
  write_file(source, content);
  kel::Safe safe(path, kPassword);
  std::string error;
  ASSERT_EQ(safe.add_entry(kel::Entry("before", "b"), error), 0) << error;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
  ASSERT_EQ(safe.add_entry_from_file(
                "large", source, error,
                [&calls](std::uint64_t done, std::uint64_t total) {
                  calls.emplace_back(done, total);
                }),
            0)
      << error;
  ASSERT_EQ(safe.add_entry(kel::Entry("after", "a"), error), 0) << error;

  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back().first, content.size());
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].second, content.size());
    if (i > 0) {
      EXPECT_LE(calls[i - 1].first, calls[i].first);
    }
  }

  const std::string file = read_file(path);
  bool complete = false;
  auto records = parse_records(file, &complete);
  ASSERT_TRUE(complete);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].value_length, content.size());
  EXPECT_EQ(records[1].value_offset,
            static_cast<std::int64_t>(records[1].start + 5 + 41));
  auto key = unwrap_store_key(file, kPassword);
  ASSERT_TRUE(key.has_value());
  EXPECT_EQ(record_name(file, records[1], *key), "large");
  auto value = record_value(file, records[1], *key);
  ASSERT_TRUE(value.has_value()) << "streamed value does not authenticate";
  EXPECT_TRUE(*value == content);

  kel::Safe fresh(path, kPassword);
  kel::Entry entry("large");
  ASSERT_EQ(fresh.get_entry(entry, error), 0) << error;
  EXPECT_TRUE(entry.value() == content);
  std::string streamed;
  ASSERT_EQ(read_to_file(fresh, "large", streamed, error), 0) << error;
  EXPECT_TRUE(streamed == content);
  kel::Entry after("after");
  ASSERT_EQ(fresh.get_entry(after, error), 0) << error;
  EXPECT_EQ(after.value(), "a");

  // Into an entry whose value has the same length, the value is read in
  // one pass into a buffer of its own, never into the entry's, which holds
  // its old value until the new one has authenticated.
  const std::string other(content.size(), 'x');
  kel::Entry same("large", other);
  const unsigned char* buffer = same.raw_value();
  ASSERT_EQ(fresh.get_entry(same, error), 0) << error;
  EXPECT_NE(same.raw_value(), buffer);
  EXPECT_TRUE(same.value() == content);
  // A damaged large value leaves the entry's buffer as it was.
  std::string damaged = file;
  damaged[records[1].value_cipher_at() + content.size() - 3] ^= 0x10;
  write_file(path, damaged);
  kel::Safe broken(path, kPassword);
  kel::Entry kept("large", other);
  EXPECT_EQ(broken.get_entry(kept, error), -1);
  EXPECT_EQ(error, "Could not decrypt value cipher");
  EXPECT_TRUE(kept.value() == other);
}

TEST_F(Import, ValueToDescriptor) {
  kel::Safe safe(path, kPassword);
  std::string error;
  const std::string value = pattern(300000, 5);
  ASSERT_EQ(safe.add_entry(kel::Entry("v", value), error), 0) << error;
  ASSERT_EQ(safe.add_entry(kel::Entry("w", "small"), error), 0) << error;
  std::string out;
  ASSERT_EQ(read_to_file(safe, "v", out, error), 0) << error;
  EXPECT_TRUE(out == value);

  // The descriptor's current position is where the value goes.
  const std::string target = dir.file("positioned");
  write_file(target, "prefix:");
  int fd = ::open(target.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(safe.get_entry_to_fd("w", fd, error), 0) << error;
  ::close(fd);
  EXPECT_EQ(read_file(target), "prefix:small");

  error.clear();
  EXPECT_EQ(read_to_file(safe, "absent", out, error), -1);
  EXPECT_EQ(error, "Item not found");
  EXPECT_TRUE(out.empty());

  // A damaged value ends in -1 (whatever had reached the descriptor must
  // be discarded by the caller).
  std::string file = read_file(path);
  auto records = parse_records(file);
  ASSERT_EQ(records.size(), 2u);
  file[records[0].value_cipher_at() + 250000] ^= 0x40;
  write_file(path, file);
  kel::Safe fresh(path, kPassword);
  error.clear();
  EXPECT_EQ(read_to_file(fresh, "v", out, error), -1);
  EXPECT_FALSE(error.empty());
  ASSERT_EQ(read_to_file(fresh, "w", out, error), 0) << error;
  EXPECT_EQ(out, "small");
}

}  // namespace
}  // namespace kel::test::items
