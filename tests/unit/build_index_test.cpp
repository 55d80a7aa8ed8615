// The index of item names, built from files the test writes record by record
// with its own offsets and the store key it chose itself.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "kel/store.h"
#include "support/reference_store.h"
#include "support/test_support.h"
#include "support/unit_util.h"

namespace {

using kel::test::bytes_of;
using kel::test::kPassword;
using kel::test::TempDir;
using kel::test::write_file;
namespace ref = kel::test::ref;

class BuildIndex : public testing::Test {
 protected:
  TempDir dir;
  std::string name = dir.file("index");
  std::string path = name + ".safe";
  ref::StoreImage image{kPassword};

  // A Store with its header loaded (store_fd open) but not opened, so that
  // build_index can be called directly.
  void load(kel::Store& store) {
    write_file(path, image.bytes());
    std::string text;
    ASSERT_EQ(store.load_header(text), 0) << text;
  }
  int build(kel::Store& store, std::string& text) {
    kel::test::DiagnosticCapture capture;  // a failing tag prints a line
    const int result = store.build_index(bytes_of(image.store_key()), text);
    capture.take();
    return result;
  }
};

TEST_F(BuildIndex, EveryRecordIsIndexedWithItsOffsetAndLength) {
  const std::string long_name(255, 'n');
  const std::int64_t a = image.add("a", "1");
  const std::int64_t b = image.add(long_name, std::string(10, 'x'));
  const std::int64_t c = image.add("third item", std::string(70000, '\x7f'));
  const std::int64_t d = image.add(std::string("\0bin\xff", 5), "v");
  // Record sizes as the format fixes them: N + V + 69.
  EXPECT_EQ(b - a, 71);
  EXPECT_EQ(c - b, 334);
  kel::Store store(name, kPassword);
  load(store);
  std::string text;
  ASSERT_EQ(build(store, text), 0) << text;
  ASSERT_EQ(store.index.size(), 4u);
  EXPECT_EQ(store.index.at("a").value_offset, a + 1 + 41);
  EXPECT_EQ(store.index.at("a").value_length, 1u);
  EXPECT_EQ(store.index.at(long_name).value_offset, b + 255 + 41);
  EXPECT_EQ(store.index.at(long_name).value_length, 10u);
  EXPECT_EQ(store.index.at("third item").value_offset, c + 10 + 41);
  EXPECT_EQ(store.index.at("third item").value_length, 70000u);
  EXPECT_EQ(store.index.at(std::string("\0bin\xff", 5)).value_offset, d + 5 + 41);
  EXPECT_EQ(a, 132);
  EXPECT_EQ(store.engine->index.index_end, static_cast<long>(image.bytes().size()));
}

TEST_F(BuildIndex, FirstRecordOfADuplicateNameWins) {
  const std::int64_t first = image.add("dup", "first value");
  image.add("other", "x");
  image.add("dup", "second, longer value");
  image.add("last", "y");
  write_file(path, image.bytes());
  // Opened whole, or first looked up past one or both records of the name,
  // which a lookup keeps aside and enters later in file order.
  for (const char* lookup : {"", "other", "last"}) {
    kel::Store store(name, kPassword);
    std::string text, value;
    if (*lookup == '\0') {
      ASSERT_EQ(store.open_store(text), 0) << text;
    } else {
      ASSERT_EQ(store.get_item(lookup, value, text), 0) << lookup << ": " << text;
    }
    // The names read past still count for an add's duplicate check.
    EXPECT_EQ(store.add_item("dup", reinterpret_cast<const unsigned char*>("v"), 1, text), -1)
        << lookup;
    EXPECT_EQ(text, "Item exists") << lookup;
    ASSERT_EQ(store.get_item("dup", value, text), 0) << lookup << ": " << text;
    EXPECT_EQ(value, "first value") << lookup;
    std::vector<std::string> names;
    ASSERT_EQ(store.list_items(names, text), 0) << text;
    ASSERT_EQ(store.index.size(), 3u) << lookup;
    EXPECT_EQ(store.index.at("dup").value_offset, first + 3 + 41) << lookup;
    EXPECT_EQ(store.index.at("dup").value_length, 11u) << lookup;
  }
}

TEST_F(BuildIndex, ScanTimeIsRecordedWhenTheScanReachesTheEnd) {
  image.add("one", "1");
  kel::Store store(name, kPassword);
  load(store);
  timespec before{}, after{};
  ASSERT_NE(timespec_get(&before, TIME_UTC), 0);
  std::string text;
  ASSERT_EQ(build(store, text), 0) << text;
  ASSERT_NE(timespec_get(&after, TIME_UTC), 0);
  EXPECT_GE(store.index_time.tv_sec, before.tv_sec);
  EXPECT_LE(store.index_time.tv_sec, after.tv_sec);
}

TEST_F(BuildIndex, HeaderOnlyFileGivesAnEmptyIndexAndKeepsTheTime) {
  kel::Store store(name, kPassword);
  load(store);
  store.index_time = timespec{12345, 678};
  std::string text = "untouched";
  ASSERT_EQ(build(store, text), 0);
  EXPECT_TRUE(store.index.empty());
  EXPECT_EQ(store.index_time.tv_sec, 12345);
  EXPECT_EQ(store.index_time.tv_nsec, 678);
  EXPECT_EQ(text, "untouched");
  kel::Store opened(name, kPassword);
  ASSERT_EQ(opened.open_store(text), 0) << text;
  EXPECT_TRUE(opened.index.empty());
}

TEST_F(BuildIndex, RescanningAnUnchangedFileChangesNoEntry) {
  image.add("x", "1");
  image.add("y", "22");
  kel::Store store(name, kPassword);
  load(store);
  std::string text;
  ASSERT_EQ(build(store, text), 0) << text;
  const auto x = store.index.at("x").value_offset;
  const auto y = store.index.at("y").value_offset;
  ASSERT_EQ(build(store, text), 0) << text;
  EXPECT_EQ(store.index.size(), 2u);
  EXPECT_EQ(store.index.at("x").value_offset, x);
  EXPECT_EQ(store.index.at("y").value_offset, y);
}

TEST_F(BuildIndex, RecordCutShortInItsFixedPartIsDamageAndKeepsEarlierEntries) {
  image.add("kept-1", "v1");
  image.add("kept-2", "v2");
  const std::size_t good = image.bytes().size();
  const std::string last = ref::make_record(image.store_key(), static_cast<std::int64_t>(good),
                                            "last-name", "last value");
  // N = 9: cut after the length byte, inside the name, nonce, tag,
  // value_offset and value_length.
  for (std::size_t keep : {1u, 5u, 15u, 30u, 40u, 45u, 49u}) {
    image.truncate(good);
    image.append_raw(last.substr(0, keep));
    kel::Store store(name, kPassword);
    load(store);
    std::string text;
    EXPECT_EQ(build(store, text), 0) << keep << text;
    EXPECT_EQ(store.index.size(), 2u) << keep;
    EXPECT_EQ(store.index.count("kept-1"), 1u) << keep;
    EXPECT_EQ(store.index.count("kept-2"), 1u) << keep;
    ASSERT_EQ(store.engine->index.damaged.size(), 1u) << keep;
    EXPECT_EQ(store.engine->index.damaged[0].offset, static_cast<long>(good)) << keep;
    EXPECT_EQ(store.engine->index.damaged[0].length, static_cast<long>(keep)) << keep;
    // Writers append after the damage, never cut it off.
    EXPECT_EQ(store.engine->index.index_end, static_cast<long>(good + keep)) << keep;
  }
}

TEST_F(BuildIndex, OpeningAFileCutInsideTheLastNameNotesTheDamage) {
  image.add("kept", "v");
  const std::size_t good = image.bytes().size();
  image.append_raw(ref::make_record(image.store_key(), static_cast<std::int64_t>(good),
                                    "cut-name", "value")
                       .substr(0, 4));
  write_file(path, image.bytes());
  kel::Store store(name, kPassword);
  std::string text;
  ASSERT_EQ(store.open_store(text), 0) << text;
  EXPECT_EQ(store.index.size(), 1u);
  ASSERT_EQ(store.engine->index.damaged.size(), 1u);
  EXPECT_EQ(store.engine->index.damaged[0].offset, static_cast<long>(good));
  EXPECT_EQ(store.engine->index.damaged[0].length, 4);
}

TEST_F(BuildIndex, RecordCutShortInItsValueIsIndexed) {
  image.add("whole", "v");
  const std::int64_t last = image.add("cut-value", std::string(100, 'q'));
  image.truncate(static_cast<std::size_t>(last) + 9 + 41 + 50);
  write_file(path, image.bytes());
  kel::Store store(name, kPassword);
  std::string text;
  ASSERT_EQ(store.open_store(text), 0) << text;
  ASSERT_EQ(store.index.size(), 2u);
  EXPECT_EQ(store.index.at("cut-value").value_offset, last + 9 + 41);
  EXPECT_EQ(store.index.at("cut-value").value_length, 100u);
}

TEST_F(BuildIndex, TrailingRegionStartingWithZeroIsAnInterruptedAppend) {
  image.add("before", "v");
  const std::size_t end_of_records = image.bytes().size();
  // A complete record whose first byte was never written.
  std::string unfinished = ref::make_record(
      image.store_key(), static_cast<std::int64_t>(end_of_records), "unfinished", "value");
  unfinished[0] = '\0';
  image.append_raw(unfinished);
  write_file(path, image.bytes());
  kel::Store store(name, kPassword);
  std::string text;
  ASSERT_EQ(store.open_store(text), 0) << text;
  EXPECT_EQ(store.index.size(), 1u);
  EXPECT_EQ(store.index.count("before"), 1u);
  EXPECT_EQ(store.index.count("unfinished"), 0u);
  EXPECT_EQ(store.engine->index.index_end, static_cast<long>(end_of_records));
  // It is whole, so the next writer completes it rather than cut it.
  EXPECT_EQ(store.engine->index.unfinished_name_length, 10u);
  ASSERT_EQ(store.add_item("after", reinterpret_cast<const unsigned char*>("w"), 1, text), 0)
      << text;
  std::string value;
  ASSERT_EQ(store.get_item("unfinished", value, text), 0) << text;
  EXPECT_EQ(value, "value");
  image.truncate(end_of_records);

  // A lone zero byte, and zeros only, are the same.
  for (const std::string& tail : {std::string(1, '\0'), std::string(64, '\0')}) {
    image.truncate(end_of_records);
    image.append_raw(tail);
    write_file(path, image.bytes());
    kel::Store again(name, kPassword);
    ASSERT_EQ(again.open_store(text), 0) << text;
    EXPECT_EQ(again.index.size(), 1u);
    EXPECT_EQ(again.engine->index.unfinished_name_length, 0u);
  }
}

TEST_F(BuildIndex, WrongKeyFindsNoRecordAndCallsItAllDamage) {
  image.add("n", "v");
  kel::Store store(name, kPassword);
  load(store);
  const std::string wrong = ref::random_bytes(32);
  std::string text;
  EXPECT_EQ(store.build_index(bytes_of(wrong), text), 0) << text;
  EXPECT_TRUE(store.index.empty());
  ASSERT_EQ(store.engine->index.damaged.size(), 1u);
  EXPECT_EQ(store.engine->index.damaged[0].offset, 132);
  EXPECT_EQ(store.engine->index.damaged[0].length, static_cast<long>(image.bytes().size()) - 132);
}

TEST_F(BuildIndex, DamageInTheMiddleCostsOnlyThatRecord) {
  image.add("first", "1");
  const std::int64_t second = image.add("second", "2");
  const std::int64_t third = image.add("third", "3");
  struct Case {
    long at;              // offset inside the second record
    unsigned char value;  // written there (xor when `flip`)
    bool flip;
    long damage_at, damage_length;  // relative to the second record
    bool second_kept;
  };
  // N = 6: the name at 1..6, nonce 7..18, tag 19..34, value_offset 35..42,
  // value_length 43..46; the record is 76 bytes long.
  const Case cases[] = {
      {3, 0x10, true, 0, 76, false},   // name cipher
      {10, 0x01, true, 0, 76, false},  // name nonce
      {30, 0x80, true, 0, 76, false},  // name tag
      {36, 0x01, true, 0, 76, false},  // value_offset
      {0, 0, false, 0, 1, true},       // a zeroed length byte is not a tail
      {0, 7, false, 0, 1, true},       // a wrong length byte
      {43, 0x40, true, 43, 4, true},   // value_length, too long
      {43, 0x00, false, 43, 4, true},  // value_length, too short
  };
  for (const Case& c : cases) {
    std::string bytes = image.bytes();
    char& byte = bytes[static_cast<std::size_t>(second + c.at)];
    byte = c.flip ? static_cast<char>(byte ^ c.value) : static_cast<char>(c.value);
    write_file(path, bytes);
    kel::Store store(name, kPassword);
    std::string text;
    ASSERT_EQ(store.load_header(text), 0) << text;
    ASSERT_EQ(build(store, text), 0) << c.at << text;
    EXPECT_EQ(store.index.count("first"), 1u) << c.at;
    EXPECT_EQ(store.index.count("second"), c.second_kept ? 1u : 0u) << c.at;
    ASSERT_EQ(store.index.count("third"), 1u) << c.at;
    EXPECT_EQ(store.index.at("third").value_offset, third + 5 + 41) << c.at;
    ASSERT_EQ(store.engine->index.damaged.size(), 1u) << c.at;
    EXPECT_EQ(store.engine->index.damaged[0].offset, second + c.damage_at) << c.at;
    EXPECT_EQ(store.engine->index.damaged[0].length, c.damage_length) << c.at;
    EXPECT_EQ(store.engine->index.index_end, static_cast<long>(bytes.size())) << c.at;
    if (c.second_kept) {
      EXPECT_EQ(store.index.at("second").value_length, 1u) << c.at;
    }
  }
}

TEST_F(BuildIndex, DamagedValueIsNotNoticedByTheScan) {
  image.add("first", "value one");
  const std::int64_t second = image.add("second", "value two");
  std::string bytes = image.bytes();
  bytes[static_cast<std::size_t>(second) + 6 + 41 + 2] ^= 0x01;  // inside value_cipher
  image.truncate(0);
  image.append_raw(bytes);
  write_file(path, image.bytes());
  kel::Store store(name, kPassword);
  std::string text;
  ASSERT_EQ(store.open_store(text), 0) << text;
  EXPECT_EQ(store.index.size(), 2u);
  std::string value, error;
  kel::test::DiagnosticCapture capture;
  EXPECT_EQ(store.get_item("second", value, error), -1);
  capture.take();
  EXPECT_EQ(error, "Could not decrypt value cipher");
  ASSERT_EQ(store.get_item("first", value, error), 0) << error;
  EXPECT_EQ(value, "value one");
}

}  // namespace
