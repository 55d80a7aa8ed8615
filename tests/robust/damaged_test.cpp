// Writes to damaged stores. A store file may be cut short (a copy that ran
// out of space, a disk that lost its last blocks) or carry a wrong length.
// Reading what is intact must keep working, and a write on top of such a file
// must either be refused with a message or be readable afterwards; it must
// never make intact items unreadable.
//
// These cases were found by the store fuzzer (tests/fuzz); the files are
// built here byte by byte from the layout, independently of the library.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>

#include "engine/engine.h"
#include "kel/entry.h"
#include "kel/safe.h"
#include "kel/store.h"
#include "robust/robust_util.h"
#include "support/test_support.h"

namespace kel::robust {
namespace {

const std::string kPassword = password_for("Damaged", 1);

struct Built {
  std::string bytes;
  std::vector<std::size_t> starts;  // record starts
};

// A header and records for `items`, in order, under a fresh store key.
Built build(const std::vector<std::pair<std::string, std::string>>& items) {
  namespace ref = test::ref;
  const ref::Bytes key = ref::random_bytes(32);
  Built built;
  built.bytes = ref::make_header(kPassword, ref::random_bytes(8), key, ref::random_bytes(12));
  for (const auto& [name, value] : items) {
    built.starts.push_back(built.bytes.size());
    built.bytes += ref::make_record(key, static_cast<std::int64_t>(built.bytes.size()), name,
                                    value);
  }
  return built;
}

// The same made by the library itself in `format` (1 or 2), with the
// record starts read from the file.
Built build_in(int format, const std::vector<std::pair<std::string, std::string>>& items) {
  kel::test::TempDir dir;
  const std::string path = dir.file("made");
  Safe safe(path, kPassword);
  std::string error;
  const int made = format == 2 ? safe.create_safe(kel::test::cheapest_v2(), error)
                               : safe.create_safe(error);
  EXPECT_EQ(made, 0) << error;
  std::vector<Entry> entries;
  for (const auto& [name, value] : items) entries.emplace_back(name, value);
  std::vector<kel::AddOutcome> outcomes;
  EXPECT_EQ(safe.add_entries(entries, false, outcomes, error), 0) << error;
  Built built;
  built.bytes = kel::test::read_file(path + ".safe");
  for (const auto& span : test::ref::record_spans(built.bytes)) built.starts.push_back(span.start);
  EXPECT_EQ(built.starts.size(), items.size());
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

// The file ends inside the last record's fixed part (it was truncated there).
// An add placed right after the torn bytes completes that fixed part with
// its own: with value_offset intact, the torn record's name authenticates
// again, and its value_length is made of the new record's first bytes. The
// new record must still be found, at every point of the cut.
TEST(DamagedStore, AddAfterTheLastFixedPartWasCut) {
  const std::size_t fixed = 1 + 6 + 12 + 16 + 8 + 4;  // "second"
  for (std::size_t kept = 1; kept < fixed; ++kept) {
    SCOPED_TRACE("bytes of the last fixed part kept: " + std::to_string(kept));
    Built built = build(kItems);
    built.bytes.resize(built.starts.back() + kept);
    add_on_top(built.bytes, {{"first", "the first value"}});
  }
}

// A middle record's value_length is damaged so that its claim ends beyond
// its value: on a zero byte near the end of the file (which must not pass
// for an unfinished append, hiding and then cutting off the last record),
// or past the end of the file by exactly the size of the next add, or by
// more. Every intact entry reads, and an add never disappears into the claim.
TEST(DamagedStore, AddAfterAMiddleValueLengthWasDamaged) {
  const std::vector<std::pair<std::string, std::string>> items = {
      {"first", "the first value"}, {"second", "second value"}, {"third", "third value"}};
  const std::size_t added_size = (1 + 11 + 40) + (19 + 28);  // "added-later"
  struct Case {
    const char* label;
    std::function<std::size_t(const Built&)> claimed_end;
  };
  const std::vector<Case> cases = {
      // The top byte of the last record's own value_length is zero.
      {"on a zero byte of the last record",
       [](const Built& b) { return b.starts[2] + 5 + 37 + 3; }},
      {"at the end of the next add",
       [&](const Built& b) { return b.bytes.size() + added_size; }},
      {"past the end of the next add",
       [&](const Built& b) { return b.bytes.size() + added_size + 4000; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Built built = build(items);
    const std::size_t field = built.starts[1] + 6 + 37;  // value_length of "second"
    const std::size_t value_start = field + 4;
    const std::uint32_t claim =
        static_cast<std::uint32_t>(c.claimed_end(built) - value_start - 28);
    for (int i = 0; i < 4; ++i) built.bytes[field + i] = static_cast<char>(claim >> (8 * i));
    add_on_top(built.bytes, {{"first", "the first value"}, {"third", "third value"}});
  }
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

// Fifty entries with 8-byte names: each record's fixed part is 49 bytes.
std::vector<std::pair<std::string, std::string>> fifty_items() {
  std::vector<std::pair<std::string, std::string>> items;
  for (int i = 0; i < 50; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "entry-%02d", i);
    items.emplace_back(name, "value of " + std::string(name) + std::string(i, '*'));
  }
  return items;
}

// Reads every item but the one at `skip` back exactly through `safe`; the
// one at `skip` either reads back exactly or fails, never reads wrong.
void expect_all_but(Safe& safe, const std::vector<std::pair<std::string, std::string>>& items,
                    std::size_t skip, const std::string& trace) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    Entry entry(items[i].first);
    std::string error;
    const int rc = safe.get_entry(entry, error);
    if (i != skip) {
      EXPECT_EQ(rc, 0) << trace << " " << items[i].first << ": " << error;
    }
    if (rc == 0) {
      EXPECT_EQ(std::string(entry.value()), items[i].second) << trace;
    }
  }
}

// After a repair: the store checks clean, every entry but `victim` reads
// back exactly, and the victim's value reads back under its own name or
// under "recovered-<start>".
void expect_repaired(Safe& safe, const std::vector<std::pair<std::string, std::string>>& items,
                     std::size_t victim, std::size_t start, const std::string& trace) {
  IntegrityReport report;
  std::string error;
  ASSERT_EQ(safe.check(report, error), 0) << trace << ": " << error;
  EXPECT_TRUE(report.clean()) << trace << ": " << report.damaged.size();
  expect_all_but(safe, items, victim, trace);
  if (victim >= items.size()) return;
  Entry own(items[victim].first);
  Entry recovered("recovered-" + std::to_string(start));
  const bool whole = safe.get_entry(own, error) == 0;
  const bool renamed = safe.get_entry(recovered, error) == 0;
  EXPECT_NE(whole, renamed) << trace;
  EXPECT_EQ(std::string(whole ? own.value() : recovered.value()), items[victim].second)
      << trace;
}

bool covers(const IntegrityReport& report, std::size_t offset) {
  for (const auto& region : report.damaged) {
    if (region.offset <= static_cast<std::int64_t>(offset) &&
        static_cast<std::int64_t>(offset) < region.offset + region.length) {
      return true;
    }
  }
  return false;
}

// The damaged store written to a fresh directory and opened through a Safe.
struct DamagedFile {
  explicit DamagedFile(const std::string& bytes) { kel::test::write_file(path, bytes); }
  kel::test::TempDir dir;
  std::string path = dir.file("damaged.safe");
};

TEST(DamagedStore, EveryDamagedByteOfAFixedPartCostsAtMostItsRecord) {
  const auto items = fifty_items();
  const Built built = build(items);
  const std::size_t victim = 25;
  const std::size_t start = built.starts[victim];
  for (std::size_t at = 0; at < 49; ++at) {
    for (const int change : {0x01, 0x80, -1}) {  // -1: the byte zeroed
      std::string bytes = built.bytes;
      char& byte = bytes[start + at];
      const char before = byte;
      byte = change < 0 ? '\0' : static_cast<char>(byte ^ change);
      if (byte == before) continue;
      const std::string trace = "byte " + std::to_string(at) + " change " + std::to_string(change);
      DamagedFile file(bytes);
      std::string error;
      {
        // A lookup past the damage stops at its name; a full operation then
        // reads the rest.
        kel::Store store(file.path, kPassword);
        std::string value;
        ASSERT_EQ(store.get_item(items[30].first, value, error), 0) << trace << ": " << error;
        EXPECT_EQ(value, items[30].second) << trace;
        EXPECT_TRUE(store.engine->index.paused_scan != nullptr) << trace;
        EXPECT_LT(store.index.size(), 33u) << trace;
        std::vector<std::string> names;
        ASSERT_EQ(store.list_items(names, error), 0) << trace << ": " << error;
        EXPECT_TRUE(store.engine->index.paused_scan == nullptr) << trace;
        EXPECT_GE(names.size(), 49u) << trace;
        EXPECT_FALSE(store.engine->index.damaged.empty()) << trace;
      }
      Safe safe(file.path, kPassword);
      expect_all_but(safe, items, victim, trace);
      IntegrityReport report;
      ASSERT_EQ(safe.check(report, error), 0) << trace << ": " << error;
      EXPECT_FALSE(report.clean()) << trace;
      EXPECT_TRUE(covers(report, start + at)) << trace;
      EXPECT_GE(report.intact, 49u) << trace;
      // Repair keeps every intact entry, and the damaged one too: whole when
      // its name survived, under "recovered-<offset>" when only its value did.
      ASSERT_EQ(safe.repair(report, error), 0) << trace << ": " << error;
      EXPECT_TRUE(report.rewritten) << trace;
      Safe repaired(file.path, kPassword);
      expect_repaired(repaired, items, victim, start, trace);
    }
  }
}

// A scan of the whole file on several threads (Safe::set_scan_threads)
// builds the index the one-thread scan builds: a name stored twice keeps its
// first record, and damage is read around the same way.
TEST(DamagedStore, ScanOnSeveralThreadsBuildsTheSameIndex) {
  std::vector<std::pair<std::string, std::string>> items;
  for (int i = 0; i < 2500; ++i) {
    items.emplace_back("entry-" + std::to_string(i), std::string(90, static_cast<char>('a' + i % 26)));
  }
  items.emplace_back("entry-7", "a later record of a stored name");
  items.emplace_back("last", "the last value");
  const Built built = build(items);
  ASSERT_GT(built.bytes.size(), 256u * 1024);  // enough for threads to be used
  std::vector<std::pair<std::string, std::string>> variants = {{"intact", built.bytes}};
  std::string name_damaged = built.bytes;
  name_damaged[built.starts[1200] + 3] ^= 0x20;
  variants.emplace_back("damaged name", name_damaged);
  std::string length_damaged = built.bytes;
  length_damaged[built.starts[300] + 37 + 9] ^= 0x04;  // value_length of "entry-300"
  variants.emplace_back("damaged value_length", length_damaged);
  std::string zeroed = built.bytes;
  zeroed[built.starts[2000]] = '\0';
  variants.emplace_back("zero length byte", zeroed);
  variants.emplace_back("cut short", built.bytes.substr(0, built.starts[2400] + 30));
  for (const auto& [what, bytes] : variants) {
    SCOPED_TRACE(what);
    DamagedFile file(bytes);
    kel::Store serial(file.path, kPassword);
    kel::Store threaded(file.path, kPassword);
    threaded.engine->scan_threads = 3;
    std::string error;
    ASSERT_EQ(serial.open_store(error), 0) << error;
    ASSERT_EQ(threaded.open_store(error), 0) << error;
    ASSERT_EQ(threaded.index.size(), serial.index.size());
    for (const auto& [name, item] : serial.index) {
      ASSERT_EQ(threaded.index.count(name), 1u) << name;
      EXPECT_EQ(threaded.index.at(name).value_offset, item.value_offset) << name;
      EXPECT_EQ(threaded.index.at(name).value_length, item.value_length) << name;
    }
    EXPECT_EQ(threaded.index.at("entry-7").value_offset,
              static_cast<std::int64_t>(built.starts[7] + 1 + 7 + 40));
    ASSERT_EQ(threaded.engine->index.damaged.size(), serial.engine->index.damaged.size());
    for (std::size_t i = 0; i < serial.engine->index.damaged.size(); ++i) {
      EXPECT_EQ(threaded.engine->index.damaged[i].offset, serial.engine->index.damaged[i].offset);
      EXPECT_EQ(threaded.engine->index.damaged[i].length, serial.engine->index.damaged[i].length);
    }
    EXPECT_EQ(threaded.engine->index.index_end, serial.engine->index.index_end);
    EXPECT_EQ(threaded.engine->index.claims_end, serial.engine->index.claims_end);
    EXPECT_EQ(threaded.engine->index.unfinished_name_length, serial.engine->index.unfinished_name_length);
  }
  // Through the Safe: listing on two threads, reading after it.
  DamagedFile file(built.bytes);
  Safe safe(file.path, kPassword);
  safe.set_scan_threads(2);
  std::vector<std::string> names;
  std::string error;
  ASSERT_EQ(safe.list_entries(names, error), 0) << error;
  EXPECT_EQ(names.size(), 2501u);
  Entry entry("entry-7");
  ASSERT_EQ(safe.get_entry(entry, error), 0) << error;
  EXPECT_EQ(std::string(entry.value()), items[7].second);
  // A thread count from an unsigned -1 makes no scan allocate or start
  // billions of anything.
  Safe unbounded(file.path, kPassword);
  unbounded.set_scan_threads(~0u);
  names.clear();
  ASSERT_EQ(unbounded.list_entries(names, error), 0) << error;
  EXPECT_EQ(names.size(), 2501u);
}

// One flipped bit in a value_length of 128-byte records makes the record
// claim whole records more: its claim ends where a later record begins, or
// at the end of the file, and the records in between lie inside the claim.
// Bit 7 adds one record; bit 20 adds 8192, a claim too large to search whole.
// They must still be found (on one thread or several), the length reported
// as damaged and mended, and every entry kept by repair.
TEST(DamagedStore, AValueLengthThatEndsOnARecordBoundaryHidesNothing) {
  struct Case {
    std::size_t count;
    int bit;
    std::vector<std::size_t> victims;  // ends on a later start; at the end
  };
  for (const Case& c : {Case{4, 7, {1, 2}}, Case{8250, 20, {1}}}) {
    std::vector<std::pair<std::string, std::string>> items;
    for (std::size_t i = 0; i < c.count; ++i) {
      const std::string digits = std::to_string(10000 + i);
      items.emplace_back("k" + digits.substr(1), std::string(54, static_cast<char>('a' + i % 26)));
    }
    for (const int format : {2, 1}) {
      const Built built = build_in(format, items);
      ASSERT_EQ(built.bytes.size(), 132u + c.count * 128);
      for (const std::size_t victim : c.victims) {
        const std::string trace = "format " + std::to_string(format) + ", entry " +
                                  std::to_string(victim + 1) + ", bit " + std::to_string(c.bit);
        std::string bytes = built.bytes;
        const std::size_t field = built.starts[victim] + 1 + 5 + 12 + 16 + 8 + c.bit / 8;
        bytes[field] = static_cast<char>(bytes[field] ^ (1 << c.bit % 8));
        DamagedFile file(bytes);
        Safe safe(file.path, kPassword);
        safe.set_scan_threads(2);
        std::vector<std::string> names;
        std::string error;
        ASSERT_EQ(safe.list_entries(names, error), 0) << trace << ": " << error;
        EXPECT_EQ(names.size(), c.count) << trace;
        expect_all_but(safe, items, items.size(), trace);
        // The length is mended and every record read: absent means absent.
        EXPECT_EQ(safe.exists("absent", error), 0) << trace << ": " << error;
        IntegrityReport report;
        ASSERT_EQ(safe.check(report, error), 0) << trace << ": " << error;
        EXPECT_TRUE(covers(report, field)) << trace;
        EXPECT_EQ(report.intact, c.count) << trace;
        EXPECT_TRUE(report.failed_values.empty()) << trace;
        ASSERT_EQ(safe.repair(report, error), 0) << trace << ": " << error;
        EXPECT_TRUE(report.rewritten) << trace;
        EXPECT_TRUE(report.dropped.empty()) << trace;
        Safe repaired(file.path, kPassword);
        expect_repaired(repaired, items, items.size(), 0, trace);
      }
    }
  }
}

// A record whose name no longer authenticates may hold any name: a name the
// index lacks is not known to be absent. Lookups say the store is damaged
// and where, and no add stores such a name a second time.
TEST(DamagedStore, ADamagedNameMakesNoNameAbsent) {
  const std::vector<std::pair<std::string, std::string>> items = {
      {"web", "w"}, {"mail", "m"}, {"bank", "b"}};
  for (const int format : {2, 1}) {
    SCOPED_TRACE("format " + std::to_string(format));
    const Built built = build_in(format, items);
    std::string bytes = built.bytes;
    bytes[built.starts[1] + 2] = static_cast<char>(bytes[built.starts[1] + 2] ^ 0x01);
    DamagedFile file(bytes);
    const std::string where = "Store file is damaged: the " +
                              std::to_string(built.starts[2] - built.starts[1]) +
                              " bytes at offset " + std::to_string(built.starts[1]) + " ";
    Safe safe(file.path, kPassword);
    std::string error;
    EXPECT_EQ(safe.exists("web", error), 1) << error;
    for (const std::string name : {"mail", "other"}) {
      SCOPED_TRACE(name);
      EXPECT_EQ(Safe(file.path, kPassword).exists(name, error), -1);  // a lookup's scan
      EXPECT_EQ(error.rfind(where, 0), 0u) << error;
      EXPECT_EQ(safe.exists(name, error), -1);  // the complete index
      EXPECT_EQ(error.rfind(where, 0), 0u) << error;
      Entry entry(name);
      EXPECT_EQ(safe.get_entry(entry, error), -1);
      EXPECT_EQ(error.rfind(where, 0), 0u) << error;
      EXPECT_EQ(safe.add_entry(Entry(name, "again"), error), -1);
      EXPECT_EQ(error.rfind(where, 0), 0u) << error;
      EXPECT_EQ(safe.remove_entry(name, error), -1);
      EXPECT_NE(error.find("damaged"), std::string::npos) << error;
    }
    EXPECT_EQ(kel::test::read_file(file.path), bytes);
    std::vector<IntegrityReport::Region> regions;
    ASSERT_EQ(safe.damaged_regions(regions, error), 0) << error;
    ASSERT_EQ(regions.size(), 1u);
    EXPECT_EQ(regions[0].offset, static_cast<std::int64_t>(built.starts[1]));
    EXPECT_NE(regions[0].what.find("may be missing"), std::string::npos) << regions[0].what;
  }
}

TEST(DamagedStore, ADamagedValueFailsAlone) {
  const auto items = fifty_items();
  const Built built = build(items);
  std::string bytes = built.bytes;
  bytes[built.starts[25] + 49 + 3] ^= 0x20;  // inside the value cipher
  DamagedFile file(bytes);
  Safe safe(file.path, kPassword);
  expect_all_but(safe, items, 25, "value");
  Entry entry(items[25].first);
  std::string error;
  EXPECT_EQ(safe.get_entry(entry, error), -1);
  EXPECT_EQ(error, "Could not decrypt value cipher");
  IntegrityReport report;
  ASSERT_EQ(safe.check(report, error), 0) << error;
  EXPECT_TRUE(report.damaged.empty());
  EXPECT_EQ(report.failed_values, std::vector<std::string>{items[25].first});
  EXPECT_EQ(report.intact, 49u);
  ASSERT_EQ(safe.repair(report, error), 0) << error;
  EXPECT_EQ(report.dropped.size(), 1u);
  EXPECT_TRUE(report.renamed.empty());
  EXPECT_EQ(kel::test::read_file(report.backup), bytes);  // the damaged file, kept
  Safe repaired(file.path, kPassword);
  ASSERT_EQ(repaired.check(report, error), 0) << error;
  EXPECT_TRUE(report.clean());
  EXPECT_EQ(report.intact, 49u);
  expect_all_but(repaired, items, 25, "repaired");
}

// A format-1 record under the same key spliced into a format-2 store: its
// name fails (format 2 binds names to the store), and its value opens with
// no name at all. Kept as "recovered-<offset>" it could never be read (a
// format-2 value opens only under its own name), so repair drops it.
TEST(DamagedStore, RepairOfFormat2RecoversNoValueWithoutItsName) {
  Built built = build_in(2, kItems);
  const auto key = test::ref::unwrap_store_key_v2(built.bytes, kPassword);
  ASSERT_TRUE(key.has_value());
  const std::size_t spliced = built.bytes.size();
  built.bytes += test::ref::make_record(*key, static_cast<std::int64_t>(spliced), "spliced",
                                        "a value sealed for format 1");
  DamagedFile file(built.bytes);
  Safe safe(file.path, kPassword);
  IntegrityReport report;
  std::string error;
  ASSERT_EQ(safe.repair(report, error), 0) << error;
  EXPECT_TRUE(report.rewritten);
  EXPECT_TRUE(report.renamed.empty());
  ASSERT_EQ(report.dropped.size(), 1u);
  EXPECT_NE(report.dropped[0].find("offset " + std::to_string(spliced)), std::string::npos)
      << report.dropped[0];
  std::vector<std::string> names;
  ASSERT_EQ(Safe(file.path, kPassword).list_entries(names, error), 0) << error;
  EXPECT_EQ(names.size(), kItems.size());
}

// A second record of a stored name: the record of an older value, kept from
// before a replace, copied to the end with its value_offset set for its new
// place (nothing else in a record says where it lies). Reads keep the first
// record; check reports the second as damage, naming the first by offset, and
// repair leaves it out.
TEST(DamagedStore, ASecondRecordOfANameIsDamageAndRepairKeepsTheFirst) {
  for (const int format : {2, 1}) {
    SCOPED_TRACE("format " + std::to_string(format));
    kel::test::TempDir dir;
    const std::string path = dir.file("twice");
    Safe safe(path, kPassword);
    std::string error;
    ASSERT_EQ(format == 2 ? safe.create_safe(kel::test::cheapest_v2(), error)
                          : safe.create_safe(error), 0) << error;
    ASSERT_EQ(safe.add_entry(Entry("first", "the older value"), error), 0) << error;
    ASSERT_EQ(safe.add_entry(Entry("second", "v"), error), 0) << error;
    const std::string older = kel::test::read_file(path + ".safe");
    ASSERT_EQ(safe.replace_entry(Entry("first", "the newer value"), error), 0) << error;
    const std::string current = kel::test::read_file(path + ".safe");
    const auto span = test::ref::record_spans(older).at(0);  // "first"
    std::string copy = older.substr(span.start, span.length());
    const std::size_t at = current.size();
    copy.replace(span.value_offset_at() - span.start, 8,
                 test::ref::le64(static_cast<std::int64_t>(at + 5 + 41)));
    DamagedFile file(current + copy);
    Safe damaged(file.path, kPassword);
    Entry entry("first");
    ASSERT_EQ(damaged.get_entry(entry, error), 0) << error;
    EXPECT_EQ(std::string(entry.value()), "the newer value");
    IntegrityReport report;
    ASSERT_EQ(damaged.check(report, error), 0) << error;
    ASSERT_EQ(report.damaged.size(), 1u);
    EXPECT_EQ(report.damaged[0].offset, static_cast<std::int64_t>(at));
    EXPECT_EQ(report.damaged[0].length, static_cast<std::int64_t>(copy.size()));
    EXPECT_NE(report.damaged[0].what.find("reads use that first record"), std::string::npos)
        << report.damaged[0].what;
    EXPECT_EQ(report.intact, 2u);
    ASSERT_EQ(damaged.repair(report, error), 0) << error;
    EXPECT_TRUE(report.rewritten);
    EXPECT_EQ(report.dropped.size(), 1u);
    EXPECT_EQ(kel::test::read_file(file.path), current);

    // The first record's value damaged: the second record is the entry's
    // only intact copy, and repair keeps it rather than drop both.
    std::string hurt = current + copy;
    for (const auto& record : test::ref::record_spans(current)) {
      if (record.value_length == 15) hurt[record.value_tag_at()] ^= 1;  // "the newer value"
    }
    DamagedFile hurt_file(hurt);
    Safe mended(hurt_file.path, kPassword);
    ASSERT_EQ(mended.repair(report, error), 0) << error;
    Entry kept("first");
    ASSERT_EQ(mended.get_entry(kept, error), 0) << error;
    EXPECT_EQ(std::string(kept.value()), "the older value");
  }
}

TEST(DamagedStore, AZeroedLengthByteInTheMiddleIsReportedAndNeverCut) {
  const auto items = fifty_items();
  const Built built = build(items);
  std::string bytes = built.bytes;
  bytes[built.starts[10]] = '\0';
  DamagedFile file(bytes);
  Safe safe(file.path, kPassword);
  IntegrityReport report;
  std::string error;
  ASSERT_EQ(safe.check(report, error), 0) << error;
  ASSERT_EQ(report.damaged.size(), 1u);
  EXPECT_EQ(report.damaged[0].offset, static_cast<std::int64_t>(built.starts[10]));
  EXPECT_EQ(report.unfinished_append, 0);
  ASSERT_EQ(safe.add_entry(Entry("added-later", "a value added later"), error), 0) << error;
  const std::string after = kel::test::read_file(file.path);
  EXPECT_EQ(after.substr(0, bytes.size()), bytes);  // nothing was cut
  Safe fresh(file.path, kPassword);
  expect_all_but(fresh, items, items.size(), "zeroed");
  Entry added("added-later");
  ASSERT_EQ(fresh.get_entry(added, error), 0) << error;
  EXPECT_EQ(std::string(added.value()), "a value added later");
  // A removal moves records by their lengths, which damage makes untrustworthy.
  EXPECT_EQ(fresh.remove_entry(items[40].first, error), -1);
  EXPECT_NE(error.find("damaged"), std::string::npos) << error;
  EXPECT_EQ(kel::test::read_file(file.path), after);
  // Repair brings every record back, the zeroed one included.
  ASSERT_EQ(fresh.repair(report, error), 0) << error;
  EXPECT_TRUE(report.rewritten);
  EXPECT_TRUE(report.dropped.empty());
  EXPECT_EQ(report.intact, 51u);
  Safe repaired(file.path, kPassword);
  expect_repaired(repaired, items, items.size(), 0, "zeroed");
  ASSERT_EQ(repaired.get_entry(added, error), 0) << error;
  EXPECT_EQ(std::string(added.value()), "a value added later");
  // A second repair finds nothing to do and changes nothing.
  const std::string mended = kel::test::read_file(file.path);
  ASSERT_EQ(repaired.repair(report, error), 0) << error;
  EXPECT_FALSE(report.rewritten);
  EXPECT_EQ(kel::test::read_file(file.path), mended);
  ASSERT_EQ(repaired.remove_entry(items[40].first, error), 0) << error;
}

// Zeroed first bytes in the last two records. The last one is whole, so it
// may be an append that died before its first byte: a writer completes it
// rather than cut it, since cutting would leave the other one at the end,
// where the next writer would take it for an unfinished append in turn.
TEST(DamagedStore, ZeroedLengthBytesAtTheEndSurviveWriteAfterWrite) {
  const auto items = fifty_items();
  const Built built = build(items);
  std::string bytes = built.bytes;
  bytes[built.starts[48]] = '\0';
  bytes[built.starts[49]] = '\0';
  DamagedFile file(bytes);
  std::string error;
  for (const char* name : {"added-1", "added-2"}) {
    Safe safe(file.path, kPassword);
    ASSERT_EQ(safe.add_entry(Entry(name, "v"), error), 0) << error;
  }
  Safe fresh(file.path, kPassword);
  expect_all_but(fresh, items, items.size(), "zeroed");
}

}  // namespace
}  // namespace kel::robust
