// Reading items back: get_item, exists and list_items through the Store and
// the Safe facade, including damaged and hostile store files.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "items/item_reads.h"
#include "items/item_support.h"
#include "kel/entry.h"
#include "kel/safe.h"
#include "kel/store.h"
#include "support/test_support.h"

namespace kel::test::items {
namespace {

class ReadItem : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir.file("read.safe");
    create_store(path, kPassword);
    kel::Safe safe(path, kPassword);
    std::string error;
    for (const auto& name : names) {
      ASSERT_EQ(safe.add_entry(kel::Entry(name, value_for(name)), error), 0)
          << error;
    }
  }
  TempDir dir;
  std::string path;
  const std::vector<std::string> names = {"alpha", "beta", "gamma"};
};

TEST_F(ReadItem, NameLengthIsCheckedBeforeOpening) {
  // Even a store that does not exist answers the name check first.
  kel::Store missing(dir.file("none.safe"), kPassword);
  std::string value = "kept";
  std::string error;
  EXPECT_EQ(missing.get_item("", value, error), -1);
  EXPECT_EQ(error, "Invalid entry name");
  error.clear();
  EXPECT_EQ(missing.get_item(std::string(256, 'x'), value, error), -1);
  EXPECT_EQ(error, "Invalid entry name");
  EXPECT_FALSE(missing.store_opened);
  EXPECT_EQ(value, "kept");

  kel::Store store(path, kPassword);
  error.clear();
  EXPECT_EQ(store.get_item(std::string(255, 'x'), value, error), -1);
  EXPECT_EQ(error, "Item not found");
  EXPECT_EQ(value, "kept");
}

TEST_F(ReadItem, ValuesComeBackWhole) {
  kel::Store store(path, kPassword);
  std::string error;
  for (const auto& name : names) {
    std::string value = "previous content that must be replaced";
    ASSERT_EQ(store.get_item(name, value, error), 0) << error;
    EXPECT_EQ(value, value_for(name)) << name;
  }
  std::string value = "unchanged";
  EXPECT_EQ(store.get_item("delta", value, error), -1);
  EXPECT_EQ(error, "Item not found");
  EXPECT_EQ(value, "unchanged");

  // Many at once, in any order, a name twice; lengths without decryption.
  kel::Safe safe(path, kPassword);
  std::vector<kel::Entry> entries;
  for (const char* name : {"gamma", "alpha", "beta", "alpha"}) {
    entries.emplace_back(name, "old");
  }
  ASSERT_EQ(safe.get_entries(entries, error), 0) << error;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const char* name = i == 0 ? "gamma" : i == 2 ? "beta" : "alpha";
    EXPECT_EQ(entries[i].value(), value_for(name)) << i;
  }
  std::vector<std::pair<std::string, std::uint64_t>> lengths;
  ASSERT_EQ(safe.list_entry_lengths(lengths, error), 0) << error;
  std::sort(lengths.begin(), lengths.end());
  ASSERT_EQ(lengths.size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(lengths[i].first, names[i]);
    EXPECT_EQ(lengths[i].second, value_for(names[i]).size());
  }
  // One name missing or invalid: no entry changes, the message names it.
  const std::vector<std::pair<std::string, std::string>> refusals = {
      {"delta", "Item not found: delta"}, {"", "Invalid entry name: "}};
  for (const auto& [name, message] : refusals) {
    std::vector<kel::Entry> some;
    some.emplace_back("alpha", "old");
    some.emplace_back(name, "old");
    EXPECT_EQ(safe.get_entries(some, error), -1);
    EXPECT_EQ(error, message);
    EXPECT_EQ(some[0].value(), "old");
  }
}

// The value parts (cipher, nonce, tag) of two records whose values are of
// equal length, swapped by someone who can write the file but has no key.
// Format 1 cannot tell: each name reads the other's value (its known limit,
// in the README). Format 2 seals each value with its name as additional
// data, so both reads fail.
TEST_F(ReadItem, SwappedValuePartsPassInVersion1AndFailInVersion2) {
  for (const bool version2 : {false, true}) {
    SCOPED_TRACE(version2 ? "format 2" : "format 1");
    const std::string swapped = dir.file(version2 ? "swap2.safe" : "swap1.safe");
    kel::Safe maker(swapped, kPassword);
    std::string error;
    ASSERT_EQ(maker.create_safe(version2 ? cheapest_v2() : kel::StoreOptions(), error), 0)
        << error;
    ASSERT_EQ(maker.add_entry(kel::Entry("user", "first-secret"), error), 0) << error;
    ASSERT_EQ(maker.add_entry(kel::Entry("token", "other-secret"), error), 0) << error;
    std::string file = read_file(swapped);
    const auto records = parse_records(file);
    ASSERT_EQ(records.size(), 2u);
    const std::size_t part = records[0].value_length + 28;
    ASSERT_EQ(records[1].value_length, records[0].value_length);
    const std::string first = file.substr(records[0].value_cipher_at(), part);
    file.replace(records[0].value_cipher_at(), part,
                 file.substr(records[1].value_cipher_at(), part));
    file.replace(records[1].value_cipher_at(), part, first);
    write_file(swapped, file);

    kel::Safe reader(swapped, kPassword);
    kel::Entry user("user"), token("token");
    if (!version2) {
      ASSERT_EQ(reader.get_entry(user, error), 0) << error;
      ASSERT_EQ(reader.get_entry(token, error), 0) << error;
      EXPECT_EQ(user.value(), "other-secret");
      EXPECT_EQ(token.value(), "first-secret");
      continue;
    }
    EXPECT_EQ(reader.get_entry(user, error), -1);
    EXPECT_EQ(error, "Could not decrypt value cipher");
    EXPECT_EQ(reader.get_entry(token, error), -1);
    EXPECT_EQ(error, "Could not decrypt value cipher");
    kel::IntegrityReport report;
    ASSERT_EQ(reader.check(report, error), 0) << error;
    EXPECT_EQ(report.failed_values, (std::vector<std::string>{"user", "token"}));

    // So a rename must seal the value again under the new name: moved as it
    // was sealed, the value part would fail under it just as a swapped one.
    const std::string moved = dir.file("moved.safe");
    kel::Safe mover(moved, kPassword);
    ASSERT_EQ(mover.create_safe(cheapest_v2(), error), 0) << error;
    ASSERT_EQ(mover.add_entry(kel::Entry("user", "first-secret"), error), 0) << error;
    const std::string before = read_file(moved);
    ASSERT_EQ(mover.rename_entry("user", "moved-user", error), 0) << error;
    kel::Entry renamed("moved-user");
    ASSERT_EQ(kel::Safe(moved, kPassword).get_entry(renamed, error), 0) << error;
    EXPECT_EQ(renamed.value(), "first-secret");
    std::string after = read_file(moved);
    const ref::StoreWalk walk = ref::walk_store_bytes(after, kPassword, true);
    ASSERT_EQ(walk.problem, "");
    const auto old_span = parse_records(before).at(0);
    const auto new_span = parse_records(after).at(0);
    EXPECT_TRUE(ref::open_value(after, new_span, walk.store_key, "moved-user").has_value());
    EXPECT_FALSE(ref::open_value(after, new_span, walk.store_key, "user").has_value());
    after.replace(new_span.value_cipher_at(), new_span.value_length + 28,
                  before.substr(old_span.value_cipher_at(), old_span.value_length + 28));
    write_file(moved, after);
    EXPECT_EQ(kel::Safe(moved, kPassword).get_entry(renamed, error), -1);
    EXPECT_EQ(error, "Could not decrypt value cipher");
  }
}

TEST_F(ReadItem, ExistsAnswersOnlyForStoredNames) {
  kel::Safe safe(path, kPassword);
  for (const auto& name : names) EXPECT_TRUE(safe.exists(name)) << name;
  EXPECT_FALSE(safe.exists("delta"));
  EXPECT_FALSE(safe.exists(""));
  EXPECT_FALSE(safe.exists(std::string(300, 'a')));
  EXPECT_FALSE(safe.exists("alpha" + std::string(1, '\0')));

  // A store that cannot be opened holds no name.
  kel::Safe wrong(path, kOtherPassword);
  EXPECT_FALSE(wrong.exists("alpha"));
  kel::Safe missing(dir.file("missing.safe"), kPassword);
  EXPECT_FALSE(missing.exists("alpha"));
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing.safe")));
}

TEST_F(ReadItem, ListAppendsEveryNameOnce) {
  kel::Safe safe(path, kPassword);
  std::vector<std::string> listed = {"already", "there"};
  std::string error;
  ASSERT_EQ(safe.list_entries(listed, error), 0) << error;
  ASSERT_EQ(listed.size(), 5u);
  EXPECT_EQ(listed[0], "already");
  EXPECT_EQ(listed[1], "there");
  std::vector<std::string> tail(listed.begin() + 2, listed.end());
  std::sort(tail.begin(), tail.end());
  EXPECT_EQ(tail, names);

  // Own adds show at once.
  ASSERT_EQ(safe.add_entry(kel::Entry("delta", "d"), error), 0) << error;
  std::vector<std::string> again;
  ASSERT_EQ(safe.list_entries(again, error), 0) << error;
  EXPECT_EQ(again.size(), 4u);
  EXPECT_EQ(std::count(again.begin(), again.end(), "delta"), 1);

  // An empty store appends nothing.
  create_store(dir.file("empty.safe"), kPassword);
  kel::Safe empty(dir.file("empty.safe"), kPassword);
  std::vector<std::string> none = {"x"};
  ASSERT_EQ(empty.list_entries(none, error), 0) << error;
  EXPECT_EQ(none, std::vector<std::string>{"x"});

  kel::Safe wrong(path, kOtherPassword);
  std::vector<std::string> refused = {"x"};
  error.clear();
  EXPECT_EQ(wrong.list_entries(refused, error), -1);
  EXPECT_EQ(error, "Invalid password");
  EXPECT_EQ(refused, std::vector<std::string>{"x"});
}

TEST_F(ReadItem, DamagedValuePartFailsOnlyThatItem) {
  std::string file = read_file(path);
  auto records = parse_records(file);
  ASSERT_EQ(records.size(), 3u);
  // One flipped bit in each of the value cipher, nonce and tag of "beta".
  const std::vector<std::size_t> spots = {
      records[1].value_cipher_at() + records[1].value_length / 2,
      records[1].value_nonce_at() + 5, records[1].value_tag_at() + 15};
  for (std::size_t spot : spots) {
    std::string damaged = file;
    damaged[spot] ^= 0x01;
    write_file(path, damaged);
    kel::Safe safe(path, kPassword);
    kel::Entry beta("beta", "old");
    std::string error;
    EXPECT_EQ(safe.get_entry(beta, error), -1) << "spot " << spot;
    EXPECT_EQ(error, "Could not decrypt value cipher");
    EXPECT_EQ(safe.status(), kel::Status::damaged);
    EXPECT_EQ(beta.value(), "old") << "entry changed by a failed read";
    // Read with others, it fails them all, whichever comes first in the file.
    std::vector<kel::Entry> many;
    many.emplace_back("alpha", "old");
    many.emplace_back("beta", "old");
    many.emplace_back("gamma", "old");
    EXPECT_EQ(safe.get_entries(many, error), -1);
    EXPECT_EQ(error, "Could not decrypt value cipher: beta");
    EXPECT_EQ(safe.status(), kel::Status::damaged);
    for (const kel::Entry& entry : many) EXPECT_EQ(entry.value(), "old");
    for (const char* other : {"alpha", "gamma"}) {
      kel::Entry entry(other);
      ASSERT_EQ(safe.get_entry(entry, error), 0) << error;
      EXPECT_EQ(entry.value(), value_for(other));
    }
    EXPECT_TRUE(safe.exists("beta"));
  }
}

TEST_F(ReadItem, ValuePartRunningPastTheEndIsRefused) {
  // value_length is not covered by any tag: a hostile file may claim far
  // more than the file holds. The scan still indexes the name, reading it
  // must fail without trusting the claimed length.
  std::string file = read_file(path);
  auto records = parse_records(file);
  ASSERT_EQ(records.size(), 3u);
  put_le(file, records[2].value_length_at(), 0xFFFFFFFFu, 4);
  write_file(path, file);
  kel::Safe safe(path, kPassword);
  std::string error;
  kel::Entry gamma("gamma");
  EXPECT_EQ(safe.get_entry(gamma, error), -1);
  EXPECT_EQ(error, "Could not decrypt value cipher");
  EXPECT_EQ(gamma.length(), 0u);
  kel::Entry alpha("alpha");
  ASSERT_EQ(safe.get_entry(alpha, error), 0) << error;
  EXPECT_EQ(alpha.value(), value_for("alpha"));

  // A file cut inside the last value part.
  std::string cut = read_file(path).substr(0, records[2].value_tag_at() + 4);
  put_le(cut, records[2].value_length_at(), records[2].value_length, 4);
  write_file(path, cut);
  kel::Safe again(path, kPassword);
  EXPECT_EQ(again.get_entry(gamma, error), -1);
  EXPECT_EQ(error, "Could not decrypt value cipher");
  kel::Entry beta("beta");
  ASSERT_EQ(again.get_entry(beta, error), 0) << error;
  EXPECT_EQ(beta.value(), value_for("beta"));

  // A sparse file that does hold the claim: memory is not sized by it, in
  // memory or streamed, before the value has proved itself.
  const std::uint32_t claimed = 256u << 20;
  std::string grown = file.substr(0, records[2].value_cipher_at());
  put_le(grown, records[2].value_length_at(), claimed, 4);
  write_file(path, grown);
  std::filesystem::resize_file(path, grown.size() + claimed + 28);
  struct rusage before {}, after {};
  getrusage(RUSAGE_SELF, &before);
  kel::Safe sparse(path, kPassword);
  EXPECT_EQ(sparse.get_entry(gamma, error), -1);
  EXPECT_EQ(error, "Could not decrypt value cipher");
  EXPECT_EQ(sparse.get_entry_to_stream("gamma", STDOUT_FILENO, error), -1);
  EXPECT_EQ(error, "Could not decrypt value cipher");
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "KiB";
}

TEST_F(ReadItem, RecordFixedPartPastTheEndCostsOnlyThatRecord) {
  std::string file = read_file(path);
  auto records = parse_records(file);
  // Cut in the middle of the last record's name nonce.
  write_file(path, file.substr(0, records[2].name_nonce_at() + 3));
  kel::Safe safe(path, kPassword);
  std::vector<std::string> listed;
  std::string error;
  ASSERT_EQ(safe.list_entries(listed, error), 0) << error;
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{"alpha", "beta"}));
  EXPECT_TRUE(safe.exists("alpha"));
  // The torn record is gamma's: its absence cannot be told.
  EXPECT_EQ(safe.exists("gamma", error), -1);
  EXPECT_EQ(error.rfind("Store file is damaged: the ", 0), 0u) << error;
}

TEST_F(ReadItem, SafeFacadeEdgeCases) {
  kel::Safe safe(path, kPassword);
  std::string error;
  // get_entry replaces a value the entry already holds.
  kel::Entry alpha("alpha", "something else entirely");
  ASSERT_EQ(safe.get_entry(alpha, error), 0) << error;
  EXPECT_EQ(alpha.value(), value_for("alpha"));
  // ... and leaves it alone when it fails.
  kel::Entry missing("missing", "keep me");
  EXPECT_EQ(safe.get_entry(missing, error), -1);
  EXPECT_EQ(error, "Item not found");
  EXPECT_EQ(missing.value(), "keep me");
  // An entry without a value is refused.
  error.clear();
  EXPECT_EQ(safe.add_entry(kel::Entry("novalue"), error), -1);
  EXPECT_EQ(error, "Invalid entry value");
  EXPECT_FALSE(safe.exists("novalue"));

  // A moved-from entry is refused, not dereferenced.
  kel::Entry source("moved", "value");
  kel::Entry target(std::move(source));
  error.clear();
  EXPECT_EQ(safe.add_entry(source, error), -1);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(error, "Invalid entry name");
  error.clear();
  EXPECT_EQ(safe.get_entry(source, error), -1);
  EXPECT_EQ(error, "Invalid entry name");
  EXPECT_EQ(source.length(), 0u);
  EXPECT_FALSE(safe.exists("moved"));
  // The entry it moved into works.
  ASSERT_EQ(safe.add_entry(target, error), 0) << error;
  kel::Entry back("moved");
  ASSERT_EQ(safe.get_entry(back, error), 0) << error;
  EXPECT_EQ(back.value(), "value");
}

// Each kind of failure gives its status code beside its unchanged text, and
// the next call that succeeds gives ok again.
TEST_F(ReadItem, EachKindOfFailureHasItsStatus) {
  const std::string folder = dir.file("folder.safe");
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  write_file(dir.file("short.safe"), "too short");
  const std::string locked = dir.file("locked");
  ASSERT_EQ(::mkdir(locked.c_str(), 0500), 0);
  std::string damaged = read_file(path);
  damaged[parse_records(damaged)[1].value_tag_at()] ^= 0x01;  // "beta"
  write_file(dir.file("damaged.safe"), damaged);
  using Call = std::function<int(std::string&)>;
  const auto get = [](const std::string& store, const std::string& name,
                      const std::string& password = kPassword) -> Call {
    return [=](std::string& error) {
      kel::Entry entry(name);
      kel::Safe safe(store, password);
      const int rc = safe.get_entry(entry, error);
      return rc == 0 ? 0 : static_cast<int>(safe.status()) + 100;
    };
  };
  const auto create = [](const std::string& store,
                         const std::string& password) -> Call {
    return [=](std::string& error) {
      kel::Safe safe(store, password);
      const int rc = safe.create_safe(error);
      return rc == 0 ? 0 : static_cast<int>(safe.status()) + 100;
    };
  };
  const auto add = [&](const std::string& name) -> Call {
    return [=, this](std::string& error) {
      kel::Safe safe(path, kPassword);
      const int rc = safe.add_entry(kel::Entry(name, "value"), error);
      return rc == 0 ? 0 : static_cast<int>(safe.status()) + 100;
    };
  };
  struct Case {
    const char* what;
    Call call;
    kel::Status status;
    std::string message;  // the text, or its beginning when it ends in "..."
  };
  const std::vector<Case> cases = {
      {"absent name", get(path, "missing"), kel::Status::not_found,
       "Item not found"},
      {"taken name", add("alpha"), kel::Status::exists, "Item exists"},
      {"wrong password", get(path, "alpha", "Another-Password-1"),
       kel::Status::wrong_password, "Invalid password"},
      {"no store file", get(dir.file("absent.safe"), "alpha"),
       kel::Status::store_not_found, "could not open: ..."},
      {"a folder", get(folder, "alpha"), kel::Status::not_a_store,
       "Not a kel-safe store: ..."},
      {"too short", get(dir.file("short.safe"), "alpha"),
       kel::Status::not_a_store, "Not a kel-safe store: ..."},
      {"damaged value", get(dir.file("damaged.safe"), "beta"),
       kel::Status::damaged, "Could not decrypt value cipher"},
      {"empty name", get(path, ""), kel::Status::invalid_argument,
       "Invalid entry name"},
      {"weak password", create(dir.file("weak.safe"), "short"),
       kel::Status::invalid_argument,
       "Minimum password length is: 14 characters"},
      {"store there", create(path, kPassword), kel::Status::exists,
       "could not create store - File exists"},
      {"read-only folder", create(locked + "/new.safe", kPassword),
       kel::Status::permission, "could not create store - Permission denied"},
  };
  for (const Case& c : cases) {
    if (c.status == kel::Status::permission && ::geteuid() == 0)
      continue;  // root may
    std::string error;
    EXPECT_EQ(c.call(error), static_cast<int>(c.status) + 100)
        << c.what << ": " << error << " (" << kel::status_name(c.status)
        << " expected)";
    if (c.message.ends_with("...")) {
      EXPECT_EQ(error.rfind(c.message.substr(0, c.message.size() - 3), 0), 0u)
          << error;
    } else {
      EXPECT_EQ(error, c.message) << c.what;
    }
  }
  // Codes belong to their Safe; a success gives ok again.
  kel::Safe failing(path, kPassword), other(path, kPassword);
  std::string error;
  EXPECT_FALSE(failing.exists("missing"));
  EXPECT_EQ(failing.status(), kel::Status::not_found);
  kel::Entry alpha("alpha");
  EXPECT_EQ(other.get_entry(alpha, error), 0) << error;
  EXPECT_EQ(failing.status(), kel::Status::not_found);
  EXPECT_EQ(other.status(), kel::Status::ok);
  EXPECT_EQ(failing.exists("missing", error), 0);
  EXPECT_EQ(failing.status(), kel::Status::ok);
  EXPECT_STREQ(kel::status_name(kel::Status::no_space), "no_space");
  EXPECT_STREQ(kel::status_name(static_cast<kel::Status>(99)), "unknown");
}

TEST_F(ReadItem, OneNameLookupsReadOnlyAsFarAsTheName) {
  kel::Store store(path, kPassword);
  std::string value;
  std::string error;
  ASSERT_EQ(store.get_item("alpha", value, error), 0) << error;
  EXPECT_EQ(value, value_for("alpha"));
  EXPECT_TRUE(store.engine->index.paused_scan != nullptr);
  EXPECT_EQ(store.index.count("gamma"), 0u);
  EXPECT_EQ(kel::detail::exists(store, "beta", error), 1);
  EXPECT_EQ(store.index.count("gamma"), 0u);
  // A name an earlier lookup read past is found without reading on.
  kel::Store later(path, kPassword);
  ASSERT_EQ(later.get_item("beta", value, error), 0) << error;
  EXPECT_EQ(kel::detail::exists(later, "alpha", error), 1);
  EXPECT_TRUE(later.engine->index.paused_scan != nullptr);
  // An add's duplicate check stops at the name too.
  kel::Store adder(path, kPassword);
  EXPECT_EQ(adder.add_item("alpha", reinterpret_cast<const unsigned char*>("v"), 1, error), -1);
  EXPECT_EQ(error, "Item exists");
  EXPECT_TRUE(adder.engine->index.paused_scan != nullptr);
  EXPECT_EQ(adder.index.count("gamma"), 0u);

  // Another process appends while the scan is paused: the index follows.
  ASSERT_EQ(adder.add_item("delta", reinterpret_cast<const unsigned char*>("dv"), 2, error), 0)
      << error;
  ASSERT_EQ(store.get_item("delta", value, error), 0) << error;
  EXPECT_EQ(value, "dv");
  // A full operation completes the index, as a whole scan would have built it.
  std::vector<std::string> listed;
  ASSERT_EQ(store.list_items(listed, error), 0) << error;
  EXPECT_EQ(listed.size(), 4u);
  EXPECT_TRUE(store.engine->index.paused_scan == nullptr);
  EXPECT_EQ(store.engine->index.index_end, static_cast<long>(read_file(path).size()));
  kel::Store whole(path, kPassword);
  ASSERT_EQ(whole.open_store(error), 0) << error;
  EXPECT_TRUE(whole.engine->index.paused_scan == nullptr);
  EXPECT_EQ(whole.index.size(), 4u);
  for (const auto& [name, item] : whole.index) {
    EXPECT_EQ(store.index.at(name).value_offset, item.value_offset) << name;
  }
  EXPECT_EQ(store.engine->index.claims_end, whole.engine->index.claims_end);
  // A name that is not stored is looked for to the end.
  kel::Store absent(path, kPassword);
  EXPECT_EQ(kel::detail::exists(absent, "epsilon", error), 0);
  EXPECT_TRUE(absent.engine->index.paused_scan == nullptr);
  EXPECT_EQ(absent.index.size(), 4u);
}

TEST_F(ReadItem, ReadOnlyStoreFileReadsButRefusesWrites) {
  ASSERT_EQ(chmod(path.c_str(), 0400), 0);
  const std::string before = read_file(path);
  const std::string p = path;
  int code = run_unprivileged(dir.path().string(), [&p]() -> int {
    kel::Safe safe(p, kPassword);
    kel::Entry alpha("alpha");
    std::string error;
    if (safe.get_entry(alpha, error) != 0) return 1;
    if (alpha.value() != value_for("alpha")) return 2;
    if (safe.add_entry(kel::Entry("new", "v"), error) != -1) return 3;
    if (safe.remove_entry("alpha", error) != -1) return 4;
    if (!safe.exists("alpha") || safe.exists("new")) return 5;
    return 0;
  });
  EXPECT_EQ(code, 0) << "1: read failed, 2: wrong value, 3: add accepted, "
                        "4: removal accepted, 5: names changed";
  EXPECT_EQ(read_file(path), before);
  EXPECT_FALSE(std::filesystem::exists(path + ".backup2"));
}

}  // namespace
}  // namespace kel::test::items
