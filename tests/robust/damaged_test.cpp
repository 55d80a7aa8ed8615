// Writes to damaged stores. A store file may be cut short (a copy that ran
// out of space, a disk that lost its last blocks) or carry a wrong length.
// Reading what is intact must keep working, and a write on top of such a file
// must either be refused with a message or be readable afterwards; it must
// never make intact items unreadable.
//
// These cases were found by the store fuzzer (tests/fuzz); the files are
// built here byte by byte from the layout, independently of the library.

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "kel/entry.h"
#include "kel/safe.h"
#include "robust/robust_util.h"
#include "robust/store_reader.h"
#include "support/test_support.h"

namespace kel::robust {
namespace {

const std::string kPassword = password_for("Damaged", 1);

struct Built {
  std::string bytes;
  std::vector<std::size_t> starts;  // record starts
};

// A header and records for `items`, in order, under a fixed store key.
Built build(const std::vector<std::pair<std::string, std::string>>& items) {
  unsigned char salt[8], key[32], nonce[12];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(0xa0 + i);
  for (int i = 0; i < 8; ++i) salt[i] = static_cast<unsigned char>(0x10 + i);
  for (int i = 0; i < 12; ++i) nonce[i] = static_cast<unsigned char>(0x20 + i);
  Built built;
  built.bytes = make_header(kPassword, salt, key, nonce);
  unsigned char counter = 0;
  for (const auto& [name, value] : items) {
    unsigned char name_nonce[12], value_nonce[12];
    for (int i = 0; i < 12; ++i) {
      name_nonce[i] = static_cast<unsigned char>(++counter);
      value_nonce[i] = static_cast<unsigned char>(counter + 0x80);
    }
    built.starts.push_back(built.bytes.size());
    built.bytes += make_record(key, built.bytes.size(), name, value, name_nonce, value_nonce);
  }
  return built;
}

// Opens `bytes` as a store, notes what reads, adds an item, and checks with
// a fresh Safe that the add is readable if it was acknowledged and that
// nothing that read before stopped reading.
void add_on_top(const std::string& bytes, const std::map<std::string, std::string>& intact) {
  kel::test::TempDir dir;
  const std::string path = dir.file("damaged.safe");
  kel::test::write_file(path, bytes);
  std::string error;
  {
    Safe safe(path, kPassword);
    for (const auto& [name, value] : intact) {
      Entry entry(name);
      ASSERT_EQ(safe.get_entry(entry, error), 0) << name << ": " << error;
      ASSERT_EQ(std::string(entry.value()), value);
    }
    error.clear();
    const int rc = safe.add_entry(Entry("added-later", "a value added later"), error);
    if (rc != 0) {
      EXPECT_FALSE(error.empty());
    } else {
      Safe fresh(path, kPassword);
      Entry entry("added-later");
      std::string e;
      EXPECT_EQ(fresh.get_entry(entry, e), 0) << "acknowledged add is not readable: " << e;
      EXPECT_EQ(std::string(entry.value()), "a value added later");
    }
  }
  Safe fresh(path, kPassword);
  for (const auto& [name, value] : intact) {
    Entry entry(name);
    std::string e;
    EXPECT_EQ(fresh.get_entry(entry, e), 0) << name << " no longer reads: " << e;
    EXPECT_EQ(std::string(entry.value()), value) << name;
  }
}

const std::vector<std::pair<std::string, std::string>> kItems = {
    {"first", "the first value"}, {"second", "the second value, a little longer"}};

TEST(DamagedStore, AddAfterTheLastValueWasCutShort) {
  Built built = build(kItems);
  built.bytes.resize(built.bytes.size() - 10);  // the end of the last value_tag is gone
  add_on_top(built.bytes, {{"first", "the first value"}});
}

TEST(DamagedStore, AddAfterTheLastValueLengthGrewPastTheEnd) {
  Built built = build(kItems);
  // value_length of the last record ("second", 6 bytes of name) made larger
  // than what follows it: the record now claims bytes the file does not have.
  const std::size_t at = built.starts.back() + 1 + 6 + 12 + 16 + 8;
  built.bytes[at + 1] = static_cast<char>(built.bytes[at + 1] + 1);
  add_on_top(built.bytes, {{"first", "the first value"}});
}

TEST(DamagedStore, AddAfterARecordWithAWrongValueOffset) {
  Built built = build(kItems);
  const std::size_t at = built.starts.back() + 1 + 6 + 12 + 16;  // value_offset
  built.bytes[at] = static_cast<char>(built.bytes[at] ^ 0x40);
  add_on_top(built.bytes, {{"first", "the first value"}});
}

TEST(DamagedStore, RemovalBeforeADamagedTailIsRefusedAndChangesNothing) {
  Built built = build({{"first", "the first value"}, {"second", "second value"},
                       {"third", "third value"}});
  built.bytes.resize(built.bytes.size() - 5);
  kel::test::TempDir dir;
  const std::string path = dir.file("damaged.safe");
  kel::test::write_file(path, built.bytes);
  Safe safe(path, kPassword);
  std::string error;
  EXPECT_EQ(safe.remove_entry("first", error), -1);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(kel::test::read_file(path), built.bytes);
  Entry entry("second");
  EXPECT_EQ(safe.get_entry(entry, error), 0) << error;
  EXPECT_EQ(std::string(entry.value()), "second value");
}

}  // namespace
}  // namespace kel::robust
