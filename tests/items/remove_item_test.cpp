// Removing items: the rewritten file checked byte for byte against what an
// independent reader expects, the backup, permissions, the temporary file's
// place, and removals racing with other processes' adds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "items/item_support.h"
#include "kel/entry.h"
#include "kel/safe.h"
#include "kel/store.h"
#include "support/test_support.h"

namespace kel::test::items {
namespace {

// The file that removing records[k] must leave: the head as it was, the
// later records moved up with their value_offset lowered by the removed
// record's length.
std::string expected_after_removal(const std::string& old,
                                   const std::vector<RawRecord>& records,
                                   std::size_t k) {
  const RawRecord& gone = records[k];
  const std::size_t removed = gone.length();
  std::string out = old.substr(0, gone.start);
  std::string tail = old.substr(gone.end());
  for (std::size_t i = k + 1; i < records.size(); ++i) {
    put_le(tail, records[i].value_offset_at() - gone.end(),
           static_cast<std::uint64_t>(records[i].value_offset -
                                      static_cast<std::int64_t>(removed)),
           8);
  }
  return out + tail;
}

class RemoveItem : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir.file("remove.safe");
    create_store(path, kPassword);
    kel::Safe safe(path, kPassword);
    std::string error;
    for (const auto& [n, v] : items) {
      ASSERT_EQ(safe.add_entry(kel::Entry(n, v), error), 0) << error;
    }
  }
  void expect_holds(kel::Safe& safe, const std::string& without) {
    std::string error;
    std::vector<std::string> listed;
    ASSERT_EQ(safe.list_entries(listed, error), 0) << error;
    std::sort(listed.begin(), listed.end());
    std::vector<std::string> expected;
    for (const auto& [n, v] : items) {
      if (n == without) continue;
      expected.push_back(n);
      kel::Entry entry(n);
      ASSERT_EQ(safe.get_entry(entry, error), 0) << n << ": " << error;
      EXPECT_TRUE(entry.value() == v) << n;
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
    EXPECT_FALSE(safe.exists(without));
  }
  std::vector<std::string> store_dir_expected() const {
    return {"remove.safe", "remove.safe.backup2"};
  }
  TempDir dir;
  std::string path;
  const std::vector<std::pair<std::string, std::string>> items = {
      {"first", pattern(10, 1)},
      {std::string(255, 'L'), pattern(3000, 2)},
      {"middle", std::string("\0\0\0", 3)},
      {"n", pattern(70000, 4)},
      {"last", pattern(1, 5)},
  };
};

TEST_F(RemoveItem, FirstMiddleAndLastRecords) {
  for (std::size_t k : {std::size_t{0}, std::size_t{2}, std::size_t{4}}) {
    SCOPED_TRACE("removing record " + std::to_string(k));
    TempDir local;
    const std::string p = local.file("remove.safe");
    std::filesystem::copy_file(path, p);
    const std::string old = read_file(p);
    auto records = parse_records(old);
    ASSERT_EQ(records.size(), items.size());

    kel::Safe safe(p, kPassword);
    std::string error;
    ASSERT_TRUE(safe.exists(items[k].first));
    ASSERT_EQ(safe.remove_entry(items[k].first, error), 0) << error;

    const std::string now = read_file(p);
    EXPECT_EQ(now.size(), old.size() - records[k].length());
    EXPECT_TRUE(now == expected_after_removal(old, records, k))
        << "rewritten file differs from the expected bytes";
    EXPECT_TRUE(read_file(p + ".backup2") == old);
    EXPECT_EQ(dir_entries(local.path().string()), store_dir_expected());

    expect_holds(safe, items[k].first);
    kel::Safe fresh(p, kPassword);
    expect_holds(fresh, items[k].first);
    kel::Entry gone(items[k].first);
    EXPECT_EQ(fresh.get_entry(gone, error), -1);
    EXPECT_EQ(error, "Item not found");

    // An add after the removal follows the moved records.
    ASSERT_EQ(safe.add_entry(kel::Entry("added", "later"), error), 0) << error;
    const std::string grown = read_file(p);
    auto after = parse_records(grown);
    ASSERT_EQ(after.size(), items.size());
    EXPECT_EQ(after.back().start, now.size());
    EXPECT_EQ(after.back().value_offset,
              static_cast<std::int64_t>(now.size() + 5 + 41));
  }
}

TEST_F(RemoveItem, OnlyItemLeavesTheBareHeader) {
  const std::string p = dir.file("single.safe");
  create_store(p, kPassword);
  const std::string header = read_file(p);
  kel::Safe safe(p, kPassword);
  std::string error;
  ASSERT_EQ(safe.add_entry(kel::Entry("only", "one"), error), 0) << error;
  const std::string old = read_file(p);
  ASSERT_EQ(safe.remove_entry("only", error), 0) << error;
  EXPECT_EQ(read_file(p), header);
  EXPECT_EQ(read_file(p + ".backup2"), old);
  std::vector<std::string> listed;
  ASSERT_EQ(safe.list_entries(listed, error), 0) << error;
  EXPECT_TRUE(listed.empty());
  kel::Safe fresh(p, kPassword);
  EXPECT_FALSE(fresh.exists("only"));
}

TEST_F(RemoveItem, MissingNameChangesNothing) {
  const std::string old = read_file(path);
  const auto entries = dir_entries(dir.path().string());
  kel::Safe safe(path, kPassword);
  std::string error = "previous";
  EXPECT_EQ(safe.remove_entry("absent", error), -1);
  EXPECT_EQ(error, "Entry not found");
  EXPECT_EQ(read_file(path), old);
  EXPECT_EQ(dir_entries(dir.path().string()), entries);

  kel::Safe wrong(path, kOtherPassword);
  EXPECT_EQ(wrong.remove_entry("first", error), -1);
  EXPECT_EQ(error, "Invalid password");
  EXPECT_EQ(read_file(path), old);
  EXPECT_EQ(dir_entries(dir.path().string()), entries);
}

TEST_F(RemoveItem, SecondRemovalReplacesTheBackup) {
  kel::Safe safe(path, kPassword);
  std::string error;
  ASSERT_EQ(safe.remove_entry("first", error), 0) << error;
  const std::string between = read_file(path);
  ASSERT_EQ(safe.remove_entry("last", error), 0) << error;
  EXPECT_EQ(read_file(path + ".backup2"), between);
  EXPECT_EQ(dir_entries(dir.path().string()), store_dir_expected());
}

TEST_F(RemoveItem, PermissionBitsAreKept) {
  const mode_t old_mask = umask(077);
  for (int mode : {0600, 0640, 0660}) {
    ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(mode)), 0);
    kel::Safe safe(path, kPassword);
    std::string error;
    const std::string name = items[static_cast<std::size_t>(mode % 5)].first;
    ASSERT_EQ(safe.remove_entry(name, error), 0) << error;
    EXPECT_EQ(file_mode(path), mode) << std::oct << "store was " << mode;
    ASSERT_EQ(safe.add_entry(kel::Entry(name, "back"), error), 0) << error;
  }
  umask(022);
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  kel::Safe safe(path, kPassword);
  std::string error;
  ASSERT_EQ(safe.remove_entry("middle", error), 0) << error;
  EXPECT_EQ(file_mode(path), 0600) << "a 0600 store was widened";
  umask(old_mask);
}

// The working directory plays no part in a removal: it may be unwritable
// or on another filesystem, and nothing may be left in it.
TEST_F(RemoveItem, WorkingDirectoryOnAnotherFilesystem) {
  const std::string cwd = dir.file("cwd");
  ASSERT_TRUE(std::filesystem::create_directory(cwd));
  for (bool read_only : {false, true}) {
    SCOPED_TRACE(read_only ? "read-only tmpfs" : "writable tmpfs");
    ScopedTmpfs mount(cwd, read_only);
    if (!mount.mounted()) GTEST_SKIP() << mount.reason();
    ScopedCwd in(cwd);
    ASSERT_TRUE(in.ok());
    kel::Safe safe(path, kPassword);
    std::string error;
    const std::string name = read_only ? "first" : "last";
    ASSERT_EQ(safe.remove_entry(name, error), 0) << error;
    EXPECT_FALSE(safe.exists(name));
    EXPECT_TRUE(dir_entries(cwd).empty());
    EXPECT_TRUE(safe.exists("middle"));
  }
  kel::Safe fresh(path, kPassword);
  EXPECT_FALSE(fresh.exists("first"));
  EXPECT_FALSE(fresh.exists("last"));
  EXPECT_EQ(dir_entries(dir.path().string()),
            (std::vector<std::string>{"cwd", "remove.safe",
                                      "remove.safe.backup2"}));
}

TEST_F(RemoveItem, UnwritableWorkingDirectory) {
  const std::string cwd = dir.file("locked");
  ASSERT_TRUE(std::filesystem::create_directory(cwd));
  ASSERT_EQ(chmod(cwd.c_str(), 0555), 0);
  const std::string p = path;
  const std::string c = cwd;
  // As root the permission bits alone would not stop a write, so the
  // removal runs as an unprivileged user.
  int code = run_unprivileged(dir.path().string(), [&p, &c]() -> int {
    if (chdir(c.c_str()) != 0) return 1;
    if (access(".", W_OK) == 0) return 2;
    kel::Safe safe(p, kPassword);
    std::string error;
    if (safe.remove_entry("middle", error) != 0) {
      fprintf(stderr, "remove_entry: %s\n", error.c_str());
      return 3;
    }
    return safe.exists("middle") ? 4 : 0;
  });
  EXPECT_EQ(code, 0) << "1: chdir, 2: directory writable, 3: removal "
                        "failed, 4: name still there";
  EXPECT_TRUE(dir_entries(cwd).empty());
  kel::Safe fresh(path, kPassword);
  EXPECT_FALSE(fresh.exists("middle"));
  EXPECT_TRUE(fresh.exists("first"));
}

// Two Safes of one process take turns: each must notice the other's
// rewritten file before it writes, or stale offsets would corrupt the store.
TEST_F(RemoveItem, StaleSafeInThisProcessWorksOnTheNewFile) {
  kel::Safe a(path, kPassword);
  kel::Safe b(path, kPassword);
  std::string error;
  ASSERT_TRUE(a.exists("n"));
  ASSERT_TRUE(b.exists("n"));
  ASSERT_EQ(b.remove_entry("first", error), 0) << error;
  ASSERT_EQ(a.remove_entry("middle", error), 0) << error;
  ASSERT_EQ(b.add_entry(kel::Entry("from-b", "bb"), error), 0) << error;
  kel::Entry n("n");
  ASSERT_EQ(a.get_entry(n, error), 0) << error;
  EXPECT_TRUE(n.value() == items[3].second);
  ASSERT_EQ(a.add_entry(kel::Entry("from-a", "aa"), error), 0) << error;

  kel::Safe fresh(path, kPassword);
  std::vector<std::string> listed;
  ASSERT_EQ(fresh.list_entries(listed, error), 0) << error;
  std::sort(listed.begin(), listed.end());
  std::vector<std::string> expected = {items[1].first, "from-a", "from-b",
                                       "last", "n"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected);
  for (const auto& name : expected) {
    kel::Entry e(name);
    EXPECT_EQ(fresh.get_entry(e, error), 0) << name << ": " << error;
  }
  bool complete = false;
  auto records = parse_records(read_file(path), &complete);
  EXPECT_TRUE(complete);
  for (const auto& r : records) {
    EXPECT_EQ(r.value_offset, static_cast<std::int64_t>(r.value_cipher_at()));
  }
}

TEST_F(RemoveItem, OpenSafeInAnotherProcessSeesTheRemoval) {
  kel::Safe a(path, kPassword);
  std::string error;
  ASSERT_TRUE(a.exists("middle"));
  const std::string before = read_file(path);
  const std::string p = path;
  ASSERT_EQ(run_in_child([&p]() -> int {
              kel::Safe other(p, kPassword);
              std::string e;
              return other.remove_entry("first", e) == 0 ? 0 : 1;
            }),
            0);
  // `a` still holds a descriptor of the old file, now the backup.
  EXPECT_FALSE(a.exists("first"));
  kel::Entry last("last");
  ASSERT_EQ(a.get_entry(last, error), 0) << error;
  EXPECT_TRUE(last.value() == items[4].second);
  ASSERT_EQ(a.add_entry(kel::Entry("after", "x"), error), 0) << error;
  EXPECT_TRUE(read_file(path + ".backup2") == before)
      << "a record was written into the backup";
  kel::Safe fresh(path, kPassword);
  kel::Entry after("after");
  ASSERT_EQ(fresh.get_entry(after, error), 0) << error;
  EXPECT_EQ(after.value(), "x");
  EXPECT_FALSE(fresh.exists("first"));
}

TEST_F(RemoveItem, RemovalWhileOthersAddLosesNoAcknowledgedAdd) {
  constexpr int kAdders = 2;
  constexpr int kPerAdder = 25;
  const std::string p = path;
  ChildGroup group;
  for (int c = 0; c < kAdders; ++c) {
    group.spawn([&p, c]() -> int {
      kel::Safe safe(p, kPassword);
      std::string error;
      for (int i = 0; i < kPerAdder; ++i) {
        const std::string n = "add" + std::to_string(c) + "-" + std::to_string(i);
        if (safe.add_entry(kel::Entry(n, value_for(n)), error) != 0) return 1;
      }
      return 0;
    });
  }
  const auto& original = items;
  group.spawn([&p, &original]() -> int {
    kel::Safe safe(p, kPassword);
    std::string error;
    for (const auto& item : original) {
      if (safe.remove_entry(item.first, error) != 0) return 1;
    }
    return 0;
  });
  group.release();
  auto codes = group.wait_all();
  EXPECT_EQ(codes, std::vector<int>(kAdders + 1, 0));

  kel::Safe fresh(path, kPassword);
  std::vector<std::string> listed;
  std::string error;
  ASSERT_EQ(fresh.list_entries(listed, error), 0) << error;
  std::sort(listed.begin(), listed.end());
  std::vector<std::string> expected;
  for (int c = 0; c < kAdders; ++c) {
    for (int i = 0; i < kPerAdder; ++i) {
      expected.push_back("add" + std::to_string(c) + "-" + std::to_string(i));
    }
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected);
  for (const auto& n : expected) {
    kel::Entry e(n);
    ASSERT_EQ(fresh.get_entry(e, error), 0) << n << ": " << error;
    EXPECT_TRUE(e.value() == value_for(n)) << n;
  }
  bool complete = false;
  parse_records(read_file(path), &complete);
  EXPECT_TRUE(complete);
  EXPECT_EQ(dir_entries(dir.path().string()), store_dir_expected());
}

// A record in the tail whose value_length was tampered with so that the
// walk over the moved records lands inside the last record: removal must
// fail with a message, not read or write past its buffer.
TEST_F(RemoveItem, DamagedTailRecordFailsTheRemoval) {
  const std::string old = read_file(path);
  auto records = parse_records(old);
  ASSERT_EQ(records.size(), items.size());
  const RawRecord& victim = records[3];
  // Land a few bytes before the end of the file, on a non-zero byte (a zero
  // name length would read as an interrupted append).
  std::size_t landing = old.size() - 5;
  while (old[landing] == '\0') --landing;
  const std::uint64_t forged =
      landing - victim.start - victim.name_length - 69;
  std::string damaged = old;
  put_le(damaged, victim.value_length_at(), forged, 4);

  // A Safe whose index was built before the damage, with the file's size
  // and times put back, so that nothing tells it the file changed.
  kel::Safe stale(path, kPassword);
  ASSERT_TRUE(stale.exists("first"));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  {
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, damaged.data() + victim.value_length_at(), 4,
                     static_cast<off_t>(victim.value_length_at())),
              4);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(futimens(fd, times), 0);
    ::close(fd);
  }
  std::string error;
  EXPECT_EQ(stale.remove_entry("first", error), -1);
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(read_file(path) == damaged);
  for (const auto& name : dir_entries(dir.path().string())) {
    EXPECT_TRUE(name == "remove.safe" || name == "remove.safe.backup2")
        << "left behind: " << name;
  }

  // A Safe that opens the damaged file fails as well and changes nothing.
  kel::Safe fresh(path, kPassword);
  error.clear();
  EXPECT_EQ(fresh.remove_entry("first", error), -1);
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(read_file(path) == damaged);
}

}  // namespace
}  // namespace kel::test::items

namespace kel::test::items {
namespace {

// A store cut short inside its last value (a copy that ran out of space, a
// disk that lost its last block). Appending after it would put the new
// record inside the bytes the last record claims, where no reader looks, so
// adds are refused; removing that last entry mends the store.
TEST_F(RemoveItem, StoreCutInsideItsLastValueIsMendedByRemovingThatEntry) {
  const std::string old = read_file(path);
  auto records = parse_records(old);
  ASSERT_EQ(records.size(), items.size());
  const std::string cut = old.substr(0, records.back().end() - 7);
  write_file(path, cut);

  kel::Safe safe(path, kPassword);
  std::string error;
  EXPECT_EQ(safe.add_entry(kel::Entry("new", "value"), error), -1);
  EXPECT_NE(error.find("damaged"), std::string::npos) << error;
  EXPECT_TRUE(read_file(path) == cut) << "a refused add changed the file";
  // So are the rewrites that would put a new record behind it.
  EXPECT_EQ(safe.copy_entry("first", "copy", error), -1);
  EXPECT_NE(error.find("damaged"), std::string::npos) << error;
  EXPECT_EQ(safe.set_entry(kel::Entry("new", "value"), error), -1);
  EXPECT_NE(error.find("damaged"), std::string::npos) << error;
  EXPECT_TRUE(read_file(path) == cut) << "a refused rewrite changed the file";
  kel::Entry broken("last");
  EXPECT_EQ(safe.get_entry(broken, error), -1);
  EXPECT_EQ(error, "Could not decrypt value cipher");

  ASSERT_EQ(safe.remove_entry("last", error), 0) << error;
  EXPECT_TRUE(read_file(path) == old.substr(0, records.back().start));
  EXPECT_TRUE(read_file(path + ".backup2") == cut);
  ASSERT_EQ(safe.add_entry(kel::Entry("new", "value"), error), 0) << error;

  kel::Safe fresh(path, kPassword);
  for (std::size_t i = 0; i + 1 < items.size(); ++i) {
    kel::Entry entry(items[i].first);
    ASSERT_EQ(fresh.get_entry(entry, error), 0) << error;
    EXPECT_TRUE(entry.value() == items[i].second);
  }
  kel::Entry added("new");
  ASSERT_EQ(fresh.get_entry(added, error), 0) << error;
  EXPECT_EQ(std::string(added.value()), "value");
}

}  // namespace
}  // namespace kel::test::items

namespace kel::test::items {
namespace {

// A store reached through a symbolic link: the rewrite replaces the file the
// link leads to, keeps the backup beside that file, and leaves the link.
TEST_F(RemoveItem, SymlinkedStoreIsRewrittenWhereTheLinkLeads) {
  const std::string real_dir = dir.file("real");
  ASSERT_TRUE(std::filesystem::create_directory(real_dir));
  const std::string real = real_dir + "/remove.safe";
  ASSERT_EQ(::rename(path.c_str(), real.c_str()), 0);
  const std::string link = dir.file("vault.safe");
  ASSERT_EQ(::symlink("real/remove.safe", link.c_str()), 0);
  const std::string old = read_file(real);

  kel::Safe safe(link, kPassword);
  std::string error;
  ASSERT_EQ(safe.remove_entry("middle", error), 0) << error;
  struct stat status {};
  ASSERT_EQ(::lstat(link.c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode)) << "the link was replaced by a file";
  EXPECT_EQ(safe.removal_backup_path(), dir.file("real/remove.safe.backup2"));
  EXPECT_TRUE(read_file(real + ".backup2") == old);
  EXPECT_EQ(dir_entries(dir.path().string()),
            (std::vector<std::string>{"real", "vault.safe"}));
  EXPECT_EQ(dir_entries(real_dir),
            (std::vector<std::string>{"remove.safe", "remove.safe.backup2"}));
  kel::Safe fresh(real, kPassword);
  expect_holds(fresh, "middle");
}

// Files with the name of a killed rewrite's temporary are deleted by the next
// rewrite only when they are what such a rewrite leaves. Whatever else a
// neighbour planted under such a name stays.
TEST_F(RemoveItem, OnlyOwnLeftoverTemporariesAreDeleted) {
  const std::string victim = dir.file("victim");
  write_file(victim, "private notes");
  const std::string other = dir.file("other.safe");
  create_store(other, kOtherPassword);
  {
    kel::Safe safe(other, kOtherPassword);
    std::string error;
    ASSERT_EQ(safe.add_entry(kel::Entry("theirs", "their value"), error), 0) << error;
  }
  const std::string header = read_file(path).substr(0, kHeaderSize);
  struct Planted {
    const char* what;
    std::string name;
    std::function<void(const std::string&)> plant;
    bool kept;
  };
  const std::vector<Planted> planted = {
      {"a killed rewrite's file", "remove.safe.1700000000000-0123abcd.safe",
       [&](const std::string& p) { write_file(p, header + "partial"); ::chmod(p.c_str(), 0600); },
       false},
      {"another store", "remove.safe.1700000000001-0123abcd.safe",
       [&](const std::string& p) { std::filesystem::copy_file(other, p); }, true},
      {"a link to someone's file", "remove.safe.1700000000002-0123abcd.safe",
       [&](const std::string& p) { ASSERT_EQ(::symlink(victim.c_str(), p.c_str()), 0); },
       true},
      {"a second name of the store", "remove.safe.1700000000003-0123abcd.safe",
       [&](const std::string& p) { ASSERT_EQ(::link(path.c_str(), p.c_str()), 0); }, false},
      {"a new file killed before its header", "remove.safe.1700000000004-0123abcd.safe",
       [&](const std::string& p) { write_file(p, ""); ::chmod(p.c_str(), 0600); }, false},
      {"an empty store", "remove.safe.1700000000006-0123abcd.safe",
       [&](const std::string& p) { create_store(p, kOtherPassword); }, true},
      {"someone's small file", "remove.safe.1700000000007-0123abcd.safe",
       [&](const std::string& p) { write_file(p, "notes"); ::chmod(p.c_str(), 0644); }, true},
      {"a directory", "remove.safe.1700000000005-0123abcd.safe",
       [&](const std::string& p) { std::filesystem::create_directory(p); }, true},
  };
  for (const Planted& p : planted) p.plant(dir.file(p.name));
  kel::Safe safe(path, kPassword);
  std::string error;
  ASSERT_EQ(safe.remove_entry("first", error), 0) << error;
  for (const Planted& p : planted) {
    struct stat status {};
    EXPECT_EQ(::lstat(dir.file(p.name).c_str(), &status) == 0, p.kept) << p.what;
  }
  EXPECT_EQ(read_file(victim), "private notes");
}

// Two users share a group and a store. Only root or the store's owner can
// give the rewritten file the owner it had; anyone else keeps its group, and
// the rewrite is refused when the owner would be shut out.
TEST_F(RemoveItem, AnotherGroupMemberNeverLocksTheOwnerOut) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
  constexpr uid_t kOwner = 1;   // daemon, primary group 1
  constexpr uid_t kMember = 2;  // bin, given group 1 as well
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  const std::string p = path;
  struct Case {
    const char* what;
    gid_t group;  // the store's group
    bool allowed;
  };
  for (const Case& c : {Case{"the owner is in the store's group", 1, true},
                        Case{"the owner is not in the store's group", 2, false}}) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(::chown(path.c_str(), kOwner, c.group), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0660), 0);
    const std::string before = read_file(path);
    const int code = run_as(kMember, 2, {1, 2}, [&p]() -> int {
      kel::Safe safe(p, kPassword);
      std::string error;
      if (safe.remove_entry("last", error) == 0) return 0;
      std::fprintf(stderr, "%s\n", error.c_str());
      return error.find("Refusing") != std::string::npos ? 10 : 11;
    });
    ASSERT_NE(code, 92) << "could not switch users";
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    if (c.allowed) {
      ASSERT_EQ(code, 0);
      EXPECT_EQ(status.st_gid, c.group) << "the group was not kept";
      EXPECT_EQ(status.st_mode & 0777, 0660u);
      // The owner still reads and writes the store.
      EXPECT_EQ(run_as(kOwner, 1, {}, [&p]() -> int {
                  kel::Safe safe(p, kPassword);
                  std::string error;
                  return safe.add_entry(kel::Entry("last", "again"), error) == 0 ? 0 : 1;
                }),
                0);
    } else {
      EXPECT_EQ(code, 10) << "the rewrite was not refused with its reason";
      EXPECT_TRUE(read_file(path) == before);
      EXPECT_EQ(status.st_uid, kOwner);
    }
    ASSERT_EQ(::chown(path.c_str(), 0, 0), 0);
  }
}

}  // namespace
}  // namespace kel::test::items

namespace kel::test::items {
namespace {

// The sealed bytes of every record of a store file, by decrypted name.
struct Sealed {
  std::string name_part;   // name cipher, nonce, tag
  std::string value_part;  // value cipher, nonce, tag
};
std::map<std::string, Sealed> sealed_records(const std::string& file) {
  const auto key = unwrap_store_key(file, kPassword);
  EXPECT_TRUE(key.has_value());
  std::map<std::string, Sealed> out;
  bool complete = false;
  for (const RawRecord& r : parse_records(file, &complete)) {
    EXPECT_EQ(r.value_offset, static_cast<std::int64_t>(r.value_cipher_at()));
    auto name = record_name(file, r, *key);
    EXPECT_TRUE(name.has_value());
    if (!name) continue;
    out[*name] = {file.substr(r.name_cipher_at(), r.name_length + 28),
                  file.substr(r.value_cipher_at(), r.value_length + 28)};
  }
  EXPECT_TRUE(complete);
  return out;
}

using ItemMap = std::map<std::string, std::string>;

// Each change of records is one rewrite: the old file becomes the backup,
// every unchanged record is copied sealed, byte for byte, and every new or
// changed record is sealed afresh, with nonces no old record has.
TEST_F(RemoveItem, RewritesCopyUnchangedRecordsSealedAndSealChangedOnesAfresh) {
  struct Case {
    const char* what;
    std::function<int(kel::Safe&, std::string&)> run;
    std::function<void(ItemMap&)> expect;
    std::vector<std::string> changed;  // names whose records are new
  };
  const std::string longer = pattern(5000, 9);
  const std::vector<Case> cases = {
      {"replace", [&](kel::Safe& s, std::string& e) {
         return s.replace_entry(kel::Entry("middle", longer), e); },
       [&](ItemMap& m) { m["middle"] = longer; }, {"middle"}},
      {"set an existing name", [](kel::Safe& s, std::string& e) {
         return s.set_entry(kel::Entry("first", "x"), e); },
       [](ItemMap& m) { m["first"] = "x"; }, {"first"}},
      {"set a new name", [](kel::Safe& s, std::string& e) {
         return s.set_entry(kel::Entry("added", "y"), e); },
       [](ItemMap& m) { m["added"] = "y"; }, {"added"}},
      {"rename", [](kel::Safe& s, std::string& e) {
         return s.rename_entry("n", "renamed", e); },
       [](ItemMap& m) { m["renamed"] = m["n"]; m.erase("n"); }, {"renamed"}},
      {"copy", [](kel::Safe& s, std::string& e) {
         return s.copy_entry("last", "last-copy", e); },
       [](ItemMap& m) { m["last-copy"] = m["last"]; }, {"last-copy"}},
      {"rename onto a stored name, replacing", [](kel::Safe& s, std::string& e) {
         return s.rename_entry("n", "first", true, e); },
       [](ItemMap& m) { m["first"] = m["n"]; m.erase("n"); }, {"first"}},
      {"copy onto a stored name, replacing", [](kel::Safe& s, std::string& e) {
         return s.copy_entry("last", "middle", true, e); },
       [](ItemMap& m) { m["middle"] = m["last"]; }, {"middle"}},
      {"copy to a free name, replacing", [](kel::Safe& s, std::string& e) {
         return s.copy_entry("last", "free", true, e); },
       [](ItemMap& m) { m["free"] = m["last"]; }, {"free"}},
      {"remove many", [](kel::Safe& s, std::string& e) {
         return s.remove_entries({"first", "n", "last"}, e); },
       [](ItemMap& m) { m.erase("first"); m.erase("n"); m.erase("last"); }, {}},
      {"apply changes: add, replace and remove at once", [](kel::Safe& s, std::string& e) {
         std::vector<kel::Entry> put;
         put.emplace_back("added", "a");
         put.emplace_back("first", "x");
         return s.apply_changes(put, {"n", "last"}, e); },
       [](ItemMap& m) { m["added"] = "a"; m["first"] = "x"; m.erase("n"); m.erase("last"); },
       {"added", "first"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir local;
    const std::string p = local.file("remove.safe");
    std::filesystem::copy_file(path, p);
    const std::string old = read_file(p);
    ItemMap expected(items.begin(), items.end());
    c.expect(expected);

    kel::Safe safe(p, kPassword);
    std::string error;
    ASSERT_TRUE(safe.exists("first"));
    ASSERT_EQ(c.run(safe, error), 0) << error;
    EXPECT_TRUE(read_file(p + ".backup2") == old);
    EXPECT_EQ(dir_entries(local.path().string()), store_dir_expected());
    for (kel::Safe* reader : {&safe, static_cast<kel::Safe*>(nullptr)}) {
      kel::Safe fresh(p, kPassword);
      kel::Safe& s = reader != nullptr ? *reader : fresh;
      std::vector<std::string> listed;
      ASSERT_EQ(s.list_entries(listed, error), 0) << error;
      EXPECT_EQ(listed.size(), expected.size());
      for (const auto& [name, value] : expected) {
        kel::Entry entry(name);
        ASSERT_EQ(s.get_entry(entry, error), 0) << name << ": " << error;
        EXPECT_TRUE(entry.value() == value) << name;
      }
    }
    const auto before = sealed_records(old);
    const auto after = sealed_records(read_file(p));
    for (const auto& [name, sealed] : after) {
      const bool is_changed =
          std::find(c.changed.begin(), c.changed.end(), name) != c.changed.end();
      if (!is_changed) {
        ASSERT_TRUE(before.count(name)) << name;
        EXPECT_TRUE(sealed.name_part == before.at(name).name_part &&
                    sealed.value_part == before.at(name).value_part)
            << name << ": an unchanged record was not copied sealed";
        continue;
      }
      const std::string name_nonce = sealed.name_part.substr(sealed.name_part.size() - 28, 12);
      const std::string value_nonce = sealed.value_part.substr(sealed.value_part.size() - 28, 12);
      for (const auto& [old_name, old_sealed] : before) {
        EXPECT_EQ(old_sealed.name_part.find(name_nonce), std::string::npos) << name;
        EXPECT_EQ(old_sealed.value_part.find(value_nonce), std::string::npos) << name;
      }
    }
  }
}

// A refused change leaves the store, and the directory, exactly as it was.
TEST_F(RemoveItem, RefusedRewritesChangeNothing) {
  struct Case {
    const char* what;
    std::function<int(kel::Safe&, std::string&)> run;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"replace a missing name", [](kel::Safe& s, std::string& e) {
         return s.replace_entry(kel::Entry("absent", "v"), e); }, "Entry not found"},
      {"replace with an empty value", [](kel::Safe& s, std::string& e) {
         return s.replace_entry(kel::Entry("first", ""), e); }, "Invalid entry value"},
      {"set a name too long", [](kel::Safe& s, std::string& e) {
         return s.set_entry(kel::Entry(std::string(256, 'x'), "v"), e); },
       "Entry name length must less than 255 characters"},
      {"rename a missing name", [](kel::Safe& s, std::string& e) {
         return s.rename_entry("absent", "new", e); }, "Entry not found"},
      {"rename onto a stored name", [](kel::Safe& s, std::string& e) {
         return s.rename_entry("first", "last", e); }, "Item exists"},
      {"rename to itself", [](kel::Safe& s, std::string& e) {
         return s.rename_entry("first", "first", e); }, "Item exists"},
      {"copy onto a stored name", [](kel::Safe& s, std::string& e) {
         return s.copy_entry("first", "middle", e); }, "Item exists"},
      {"rename to itself, replacing", [](kel::Safe& s, std::string& e) {
         return s.rename_entry("first", "first", true, e); }, "Item exists"},
      {"rename a missing name, replacing", [](kel::Safe& s, std::string& e) {
         return s.rename_entry("absent", "first", true, e); }, "Entry not found"},
      {"copy to an empty name", [](kel::Safe& s, std::string& e) {
         return s.copy_entry("first", "", e); }, "Invalid entry name"},
      {"remove many, one missing", [](kel::Safe& s, std::string& e) {
         return s.remove_entries({"first", "absent", "last"}, e); },
       "Entry not found: absent"},
      {"apply changes, one removal missing", [](kel::Safe& s, std::string& e) {
         std::vector<kel::Entry> put;
         put.emplace_back("added", "a");
         return s.apply_changes(put, {"first", "absent"}, e); },
       "Entry not found: absent"},
      {"apply changes, a name both put and removed", [](kel::Safe& s, std::string& e) {
         std::vector<kel::Entry> put;
         put.emplace_back("first", "a");
         return s.apply_changes(put, {"first"}, e); },
       "Entry given twice: first"},
      {"apply changes, an empty value", [](kel::Safe& s, std::string& e) {
         std::vector<kel::Entry> put;
         put.emplace_back("added", "");
         return s.apply_changes(put, {"first"}, e); },
       "Invalid entry value: added"},
      {"remove none", [](kel::Safe& s, std::string& e) {
         return s.remove_entries({}, e); }, "No entry names given"},
      {"replace from a missing file", [&](kel::Safe& s, std::string& e) {
         return s.replace_entry_from_file("first", dir.file("none"), e); },
       "Could not open file: " + dir.file("none") + " - No such file or directory"},
  };
  const std::string old = read_file(path);
  const auto entries = dir_entries(dir.path().string());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kel::Safe safe(path, kPassword);
    std::string error;
    EXPECT_EQ(c.run(safe, error), -1);
    EXPECT_EQ(error, c.message);
    EXPECT_TRUE(read_file(path) == old);
    EXPECT_EQ(dir_entries(dir.path().string()), entries);
  }
}

TEST_F(RemoveItem, ReplaceAndSetFromAFileStreamTheWholeFile) {
  const std::string source = dir.file("source");
  const std::string big = pattern(3 * 1024 * 1024 + 17, 11);
  write_file(source, big);
  kel::Safe safe(path, kPassword);
  std::string error;
  ASSERT_EQ(safe.replace_entry_from_file("n", source, error), 0) << error;
  ASSERT_EQ(safe.set_entry_from_file("fresh", source, error), 0) << error;
  EXPECT_EQ(safe.replace_entry_from_file("absent", source, error), -1);
  EXPECT_EQ(error, "Entry not found");
  write_file(source, "");
  EXPECT_EQ(safe.set_entry_from_file("n", source, error), -1);
  EXPECT_EQ(error, "Invalid entry value");
  kel::Safe fresh(path, kPassword);
  for (const char* name : {"n", "fresh"}) {
    kel::Entry entry(name);
    ASSERT_EQ(fresh.get_entry(entry, error), 0) << error;
    EXPECT_TRUE(entry.value() == big) << name;
  }
}

}  // namespace
}  // namespace kel::test::items
