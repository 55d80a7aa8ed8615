// Adding items: the bytes of appended records read back with an independent
// reader, and every refusal of add_item at its own step with the file and
// the index left as they were.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "items/item_support.h"
#include "kel/entry.h"
#include "kel/safe.h"
#include "kel/store.h"
#include "support/test_support.h"

namespace kel::test::items {
namespace {

class AddItem : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir.file("add.safe");
    create_store(path, kPassword);
  }
  TempDir dir;
  std::string path;
};

TEST_F(AddItem, FirstRecordHasTheDocumentedBytes) {
  const std::string before = read_file(path);
  ASSERT_EQ(before.size(), kHeaderSize);
  // The header's hash is SHA3-512 over the password and the salt.
  EXPECT_EQ(before.substr(kHashAt, 64),
            sha3_512(kPassword + before.substr(kSaltAt, 8)));

  kel::Safe safe(path, kPassword);
  std::string error;
  ASSERT_EQ(safe.add_entry(kel::Entry("a", "b"), error), 0) << error;

  const std::string after = read_file(path);
  ASSERT_EQ(after.size(), kHeaderSize + 71);
  EXPECT_EQ(after.substr(0, kHeaderSize), before) << "header changed by an add";
  EXPECT_EQ(static_cast<unsigned char>(after[132]), 1);
  // value_offset at R + N + 29, value_length at R + N + 37.
  EXPECT_EQ(get_le(after, 132 + 1 + 29, 8), 132u + 1 + 41);
  EXPECT_EQ(get_le(after, 132 + 1 + 37, 4), 1u);

  auto key = unwrap_store_key(after, kPassword);
  ASSERT_TRUE(key.has_value()) << "store key does not unwrap";
  auto name = aead_open(*key, after.substr(134, 12), after.substr(133, 1),
                        after.substr(146, 16));
  ASSERT_TRUE(name.has_value()) << "name cipher does not authenticate";
  EXPECT_EQ(*name, "a");
  auto value = aead_open(*key, after.substr(175, 12), after.substr(174, 1),
                         after.substr(187, 16));
  ASSERT_TRUE(value.has_value()) << "value cipher does not authenticate";
  EXPECT_EQ(*value, "b");
  EXPECT_NE(after.substr(134, 12), after.substr(175, 12))
      << "name and value share a nonce";
}

TEST_F(AddItem, LongestNameAndZeroBytesFollowThePreviousRecord) {
  kel::Safe safe(path, kPassword);
  std::string error;
  ASSERT_EQ(safe.add_entry(kel::Entry("a", "b"), error), 0) << error;
  const std::string name255(255, '\xfe');
  const std::string value10("\0\x01\0\0zero\0\0", 10);
  ASSERT_EQ(safe.add_entry(kel::Entry(name255, value10), error), 0) << error;
  const std::string name_with_zero("n\0m", 3);
  const std::string value = pattern(4000, 7);
  ASSERT_EQ(safe.add_entry(kel::Entry(name_with_zero, value), error), 0)
      << error;

  const std::string file = read_file(path);
  bool complete = false;
  auto records = parse_records(file, &complete);
  ASSERT_TRUE(complete);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].start, 132u + 71);
  EXPECT_EQ(records[1].length(), 334u);
  EXPECT_EQ(records[2].start, 132u + 71 + 334);
  auto key = unwrap_store_key(file, kPassword);
  ASSERT_TRUE(key.has_value());
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"a", "b"}, {name255, value10}, {name_with_zero, value}};
  for (std::size_t i = 0; i < records.size(); ++i) {
    const RawRecord& r = records[i];
    EXPECT_EQ(r.value_offset, static_cast<std::int64_t>(r.start + r.name_length + 41));
    EXPECT_EQ(record_name(file, r, *key), expected[i].first) << "record " << i;
    EXPECT_EQ(record_value(file, r, *key), expected[i].second) << "record " << i;
  }

  // The library reads the same values back, zero bytes included, also
  // through a Safe that opens the store afresh.
  kel::Safe fresh(path, kPassword);
  for (const auto& [n, v] : expected) {
    kel::Entry entry(n);
    ASSERT_EQ(fresh.get_entry(entry, error), 0) << error;
    EXPECT_EQ(entry.value(), v);
    EXPECT_EQ(entry.length(), v.size());
  }
}

TEST_F(AddItem, SameContentGetsFreshNonces) {
  kel::Safe safe(path, kPassword);
  std::string error;
  ASSERT_EQ(safe.add_entry(kel::Entry("same", "value"), error), 0) << error;
  ASSERT_EQ(safe.remove_entry("same", error), 0) << error;
  ASSERT_EQ(safe.add_entry(kel::Entry("same", "value"), error), 0) << error;
  const std::string after = read_file(path);
  const std::string earlier = read_file(path + ".backup2");
  auto a = parse_records(after);
  auto b = parse_records(earlier);
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_NE(after.substr(a[0].start, a[0].length()),
            earlier.substr(b[0].start, b[0].length()));
}

// Each refusal must come from its own step, in the documented order, replace
// whatever the error text held, and change neither the file nor the index.
TEST_F(AddItem, RefusalsAtTheirStepsChangeNothing) {
  kel::Store store(path, kPassword);
  std::string error;
  const unsigned char one[1] = {'x'};
  ASSERT_EQ(store.add_item("present", one, 1, error), 0) << error;
  const std::string file = read_file(path);
  const std::size_t indexed = store.index.size();

  struct Case {
    std::string name;
    const unsigned char* value;
    unsigned long length;
    std::string message;
  };
  const std::vector<Case> cases = {
      // The duplicate check comes before the name and value checks.
      {"present", one, 1, "Item exists"},
      {"present", nullptr, 0, "Item exists"},
      // The name checks come before the value checks.
      {std::string(256, 'n'), one, 1,
       "Entry name length must less than 255 characters"},
      {std::string(256, 'n'), nullptr, 0,
       "Entry name length must less than 255 characters"},
      {std::string(1000, 'n'), one, 1,
       "Entry name length must less than 255 characters"},
      {"", one, 1, "Invalid entry name"},
      {"", nullptr, 0, "Invalid entry name"},
      // The pointer must not be read for refused lengths: a one-byte buffer
      // would be overrun (and caught by the sanitizer) if it were.
      {"big", one, 4294967296UL, "Entry value too big"},
      {"big", one, 4294967296UL * 3 + 5, "Entry value too big"},
      {"empty", one, 0, "Invalid entry value"},
      {"empty", nullptr, 0, "Invalid entry value"},
  };
  for (const Case& c : cases) {
    error = "previous text";
    EXPECT_EQ(store.add_item(c.name, c.value, c.length, error), -1)
        << c.message;
    EXPECT_EQ(error, c.message);
    EXPECT_EQ(read_file(path), file) << "file changed by: " << c.message;
    EXPECT_EQ(store.index.size(), indexed) << c.message;
    if (c.name != "present") {
      EXPECT_EQ(store.index.count(c.name), 0u);
    }
  }
  // A 255-byte name passes the checks.
  error.clear();
  EXPECT_EQ(store.add_item(std::string(255, 'n'), one, 1, error), 0) << error;
  EXPECT_EQ(read_file(path).size(), file.size() + 255 + 1 + 69);
}

TEST_F(AddItem, ManyAtOnceAreOneRewriteThatSkipsOrReplacesStoredNames) {
  kel::Safe safe(path, kPassword);
  std::string error;
  ASSERT_EQ(safe.add_entry(kel::Entry("present", "old"), error), 0) << error;
  const std::string binary = pattern(3000, 7);
  std::vector<kel::Entry> batch;
  batch.emplace_back("bin", binary);
  batch.emplace_back("present", "new");
  batch.emplace_back("lines", "one\ntwo\r\n\"three\"\n");
  std::vector<kel::AddOutcome> outcomes;
  ASSERT_EQ(safe.add_entries(batch, false, outcomes, error), 0) << error;
  EXPECT_EQ(outcomes, (std::vector<kel::AddOutcome>{kel::AddOutcome::added,
                                                     kel::AddOutcome::skipped,
                                                     kel::AddOutcome::added}));
  // An independent reader finds every record whole, the old one first.
  const std::string file = read_file(path);
  bool complete = false;
  auto records = parse_records(file, &complete);
  EXPECT_TRUE(complete);
  ASSERT_EQ(records.size(), 3u);
  auto key = unwrap_store_key(file, kPassword);
  ASSERT_TRUE(key.has_value());
  EXPECT_EQ(record_name(file, records[0], *key), "present");
  EXPECT_EQ(record_value(file, records[0], *key), "old");
  EXPECT_EQ(record_value(file, records[1], *key), binary);
  // The previous file is kept like after any rewrite.
  EXPECT_EQ(read_file(safe.removal_backup_path()).size(), kHeaderSize + 7 + 3 + 69);

  // With replace, stored names get the new value in the same rewrite.
  std::vector<kel::Entry> again;
  again.emplace_back("present", "newer");
  again.emplace_back("fresh", "f");
  ASSERT_EQ(safe.add_entries(again, true, outcomes, error), 0) << error;
  EXPECT_EQ(outcomes, (std::vector<kel::AddOutcome>{kel::AddOutcome::replaced,
                                                     kel::AddOutcome::added}));
  kel::Safe reader(path, kPassword);
  kel::Entry present("present");
  ASSERT_EQ(reader.get_entry(present, error), 0) << error;
  EXPECT_EQ(present.value(), "newer");

  // A batch of stored names only, not replaced, writes nothing at all.
  const std::string before = read_file(path);
  std::filesystem::remove(safe.removal_backup_path());
  std::vector<kel::Entry> stored;
  stored.emplace_back("fresh", "other");
  ASSERT_EQ(safe.add_entries(stored, false, outcomes, error), 0) << error;
  EXPECT_EQ(outcomes, std::vector<kel::AddOutcome>{kel::AddOutcome::skipped});
  EXPECT_EQ(read_file(path), before);
  EXPECT_FALSE(std::filesystem::exists(safe.removal_backup_path()));

  // One bad entry refuses the whole batch before anything is written.
  struct Refusal {
    std::string name;
    std::string value;
    std::string message;
  };
  const std::vector<Refusal> refusals = {
      {"", "v", "Invalid entry name: "},
      {"empty", "", "Invalid entry value: empty"},
      {std::string(256, 'n'), "v",
       "Entry name length must less than 255 characters: " + std::string(256, 'n')},
      {"twice", "v", "Entry given twice: twice"},
  };
  for (const Refusal& r : refusals) {
    std::vector<kel::Entry> bad;
    bad.emplace_back("twice", "v");
    bad.emplace_back(r.name, r.value);
    outcomes.clear();
    EXPECT_EQ(safe.add_entries(bad, false, outcomes, error), -1) << r.message;
    EXPECT_EQ(error, r.message);
    EXPECT_TRUE(outcomes.empty());
    EXPECT_EQ(read_file(path), before) << r.message;
  }
}

TEST_F(AddItem, RefusedWhenTheStoreDoesNotOpen) {
  kel::Store wrong(path, kOtherPassword);
  std::string error;
  const unsigned char one[1] = {'x'};
  EXPECT_EQ(wrong.add_item("name", one, 1, error), -1);
  EXPECT_EQ(error, "Invalid password");
  EXPECT_EQ(read_file(path).size(), kHeaderSize);

  kel::Store missing(dir.file("missing.safe"), kPassword);
  error.clear();
  EXPECT_EQ(missing.add_item("name", one, 1, error), -1);
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing.safe")));
}

TEST_F(AddItem, OwnAddIsVisibleAtOnceAndNeedsNoRescan) {
  kel::Store store(path, kPassword);
  std::string error;
  const std::string value = pattern(100, 3);
  ASSERT_EQ(store.add_item("mine", reinterpret_cast<const unsigned char*>(value.data()),
                           value.size(), error),
            0)
      << error;
  // The store's own append leaves it believing the file is unchanged.
  EXPECT_FALSE(store.is_store_changed());
  auto it = store.index.find("mine");
  ASSERT_NE(it, store.index.end());
  EXPECT_EQ(it->second.value_length, 100u);
  EXPECT_EQ(it->second.value_offset, 132 + 4 + 41);
  std::string out;
  ASSERT_EQ(store.get_item("mine", out, error), 0) << error;
  EXPECT_EQ(out, value);
  EXPECT_TRUE(store.exists("mine"));
  std::vector<std::string> names;
  ASSERT_EQ(store.list_items(names, error), 0) << error;
  EXPECT_EQ(names, std::vector<std::string>{"mine"});
}

TEST_F(AddItem, InterruptedAppendIsCutOffByTheNextWriter) {
  kel::Safe safe(path, kPassword);
  std::string error;
  ASSERT_EQ(safe.add_entry(kel::Entry("kept", "value"), error), 0) << error;
  const std::string good = read_file(path);
  // An append killed before its first byte was written: a region that
  // starts with a zero name length.
  std::string torn = good + std::string(1, '\0') + pattern(60, 9);
  write_file(path, torn);

  kel::Safe reader(path, kPassword);
  EXPECT_TRUE(reader.exists("kept"));
  std::vector<std::string> names;
  ASSERT_EQ(reader.list_entries(names, error), 0) << error;
  EXPECT_EQ(names, std::vector<std::string>{"kept"});

  ASSERT_EQ(reader.add_entry(kel::Entry("next", "after"), error), 0) << error;
  const std::string file = read_file(path);
  bool complete = false;
  auto records = parse_records(file, &complete);
  EXPECT_TRUE(complete) << "the torn tail was not cut off";
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].start, good.size());
  kel::Safe fresh(path, kPassword);
  kel::Entry next("next");
  ASSERT_EQ(fresh.get_entry(next, error), 0) << error;
  EXPECT_EQ(next.value(), "after");
}

}  // namespace
}  // namespace kel::test::items
