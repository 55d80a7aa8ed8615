// Another process's append, finished at the worst possible moment. The test
// plays that other process itself: it writes a record the way an append does
// (everything but the first byte, then the first byte) straight into the file,
// and uses a faulty file-system Env to do so at an exact point inside a Safe's
// operation, or to show the Safe whole-second timestamps as some file systems
// keep them. The Safe must never call the store damaged, must see the finished
// record, and must never cut it off.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "kel/entry.h"
#include "kel/safe.h"
#include "env/env.h"
#include "robust/fault_control.h"
#include "robust/faulty_env.h"
#include "robust/robust_util.h"
#include "support/test_support.h"

namespace kel::robust {
namespace {

// The file system the library sees; "another process" acts at exact calls.
FaultyEnv& faults() {
  static FaultyEnv instance;
  return instance;
}

const std::string kPassword = password_for("Interleave", 1);

// The other process: one record, appended in two steps.
struct ForeignAppend {
  std::string path;
  std::string record;
  long start = 0;
  std::size_t body_written = 0;  // bytes after the first one already written

  ForeignAppend(const std::string& store_path, const std::string& name,
                const std::string& value) : path(store_path) {
    const StoreWalk walk = walk_store_file(path, kPassword, false);
    start = static_cast<long>(std::filesystem::file_size(path));
    record = test::ref::make_record(walk.store_key, start, name, value);
  }

  // Writes body bytes [body_written, upto) of the record (never its first byte).
  bool write_body(std::size_t upto) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const std::size_t length = upto - body_written;
    const bool ok = ::pwrite(fd, record.data() + 1 + body_written, length,
                             start + 1 + static_cast<long>(body_written)) ==
                    static_cast<ssize_t>(length);
    body_written = upto;
    ::close(fd);
    return ok;
  }

  // Writes the rest of the body, then the first byte, and syncs: from here on
  // the other process has told its user that the item is stored.
  bool finish() {
    if (!write_body(record.size() - 1)) return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::pwrite(fd, record.data(), 1, start) == 1 && ::fdatasync(fd) == 0;
    ::close(fd);
    return ok;
  }
};

void finish_foreign(void* append) { static_cast<ForeignAppend*>(append)->finish(); }

// The other process changes the store's password.
struct PasswordChange {
  std::string path;
  std::string to;
  int rc = -2;
};

void change_password(void* change) {
  auto* wanted = static_cast<PasswordChange*>(change);
  Safe other(wanted->path, kPassword);
  std::string error;
  wanted->rc = other.change_key(wanted->path, kPassword, wanted->to, error);
}

bool append_within_one_second(Safe& safe, ForeignAppend& other);

class Interleaving : public ::testing::Test {
 protected:
  void SetUp() override {
    faults().watch(dir_.path().string());
    path_ = dir_.file("shared.safe");
    Safe creator(path_, kPassword);
    std::string error;
    ASSERT_EQ(creator.create_safe(error), 0) << error;
    ASSERT_EQ(creator.add_entry(Entry("first", "first value"), error), 0) << error;
    ASSERT_EQ(creator.add_entry(Entry("second", "second value"), error), 0) << error;
  }
  void TearDown() override {
    faults().count(false);
    faults().reset();
    faults().whole_seconds(false);
    faults().watch("");
  }

  // A fresh Safe finds every name with its value, and the file is whole.
  void expect_store_holds(const std::vector<std::pair<std::string, std::string>>& items) {
    Safe fresh(path_, kPassword);
    for (const auto& [name, value] : items) {
      Entry entry(name);
      std::string error;
      EXPECT_EQ(fresh.get_entry(entry, error), 0) << name << ": " << error;
      EXPECT_EQ(std::string(entry.value()), value) << name;
    }
    const StoreWalk walk = walk_store_file(path_, kPassword, true);
    EXPECT_EQ(walk.problem, "");
  }

  // With whole-second timestamps, has another process finish an append in
  // the same second in which `writer` scanned the file while it was unfinished.
  void stage_hidden_append(Safe& writer) {
    faults().whole_seconds(true);
    std::vector<std::string> names;
    std::string error;
    ASSERT_EQ(writer.list_entries(names, error), 0) << error;
    bool staged = false;
    for (int attempt = 0; attempt < 5 && !staged; ++attempt) {
      ForeignAppend other(path_, "foreign", "foreign value");
      staged = append_within_one_second(writer, other);
      if (!staged) {
        // Start over from a clean file.
        Safe cleaner(path_, kPassword);
        cleaner.remove_entry("foreign", error);
      }
    }
    ASSERT_TRUE(staged) << "could not finish the append within one second";
  }

  detail::ScopedEnv seam_{faults()};
  kel::test::TempDir dir_;
  std::string path_;
};

// A scan takes the file's size first and reads afterwards. If the other
// process's append was only begun when the size was taken and is finished
// when the scan gets there, the record runs past that size: it is newer than
// the scan, not damage.
TEST_F(Interleaving, ScanMeetsAnAppendFinishedAfterTheFileSizeWasTaken) {
  Safe reader(path_, kPassword);
  std::vector<std::string> names;
  std::string error;
  ASSERT_EQ(reader.list_entries(names, error), 0) << error;

  ForeignAppend other(path_, "foreign", "foreign value");
  ASSERT_TRUE(other.write_body(6));  // the file has grown by a few bytes

  faults().reset();
  faults().before(kelFaultRead, 1, finish_foreign, &other);  // the scan's first read
  faults().count(true);
  Entry entry("foreign");
  const int rc = reader.get_entry(entry, error);
  faults().count(false);
  ASSERT_EQ(other.body_written, other.record.size() - 1) << "the append was not finished";
  EXPECT_TRUE(rc == 0 || error == "Item not found")
      << "the scan called the store damaged: " << error;
  if (rc == 0) {
    EXPECT_EQ(std::string(entry.value()), "foreign value");
  }

  // Asked again, the finished record is there.
  Entry again("foreign");
  EXPECT_EQ(reader.get_entry(again, error), 0) << error;
  EXPECT_EQ(std::string(again.value()), "foreign value");
  expect_store_holds({{"first", "first value"}, {"foreign", "foreign value"}});
}

// An upgrade checks the password, then makes its new header (a derivation
// that takes a noticeable time) before it takes the write lock. A password
// changed elsewhere meanwhile must stay changed: a header wrapping the key
// under the password checked before would bring the old one back.
TEST_F(Interleaving, UpgradeUndoesNoPasswordChangeMadeBeforeItLocks) {
  faults().reset();
  faults().count(true);
  ASSERT_TRUE(Safe(path_, kPassword).exists("first"));
  const long opening_locks = faults().calls(kelFaultLock);
  faults().count(false);
  faults().reset();

  PasswordChange change{path_, password_for("Interleave", 2)};
  faults().before(kelFaultLock, opening_locks + 1, change_password, &change);  // the write lock
  faults().count(true);
  Safe upgrader(path_, kPassword);
  std::string error;
  const int rc = upgrader.upgrade(kel::test::cheapest_v2(), error);
  faults().count(false);
  ASSERT_EQ(change.rc, 0) << "the password was not changed in between";
  EXPECT_EQ(rc, -1) << "the upgrade went ahead with the old password";
  EXPECT_TRUE(Safe(path_, change.to).key_verified(error)) << error;
  EXPECT_FALSE(Safe(path_, kPassword).key_verified(error));
}

// A header caught half rewritten: at one read call the file's header is
// torn (its second half another header's), and whole again by the next
// call, as when a password change that failed put the old header back.
struct TornHeader {
  std::string path;
  std::string whole;
  long read_call = 0;
  void write(const std::string& header) const {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    (void)!::pwrite(fd, header.data(), header.size(), 0);
    ::close(fd);
  }
};

void restore_header(void* torn) {
  const auto* header = static_cast<TornHeader*>(torn);
  header->write(header->whole);
}

void tear_header(void* torn) {
  auto* header = static_cast<TornHeader*>(torn);
  std::string half = header->whole;
  for (std::size_t i = half.size() / 2; i < half.size(); ++i) half[i] ^= 0x5a;
  header->write(half);
  faults().before(kelFaultRead, header->read_call + 1, restore_header, torn);
}

// Readers take no lock, so a password change elsewhere may show them a
// header half written. Whichever read call catches it, a fresh reader with
// the right password reads the header again and opens the store, in both
// formats.
TEST_F(Interleaving, AHeaderCaughtHalfRewrittenIsReadAgain) {
  const std::string v2_path = dir_.file("v2.safe");
  std::string error;
  {
    Safe creator(v2_path, kPassword);
    ASSERT_EQ(creator.create_safe(kel::test::cheapest_v2(), error), 0) << error;
    ASSERT_EQ(creator.add_entry(Entry("first", "first value"), error), 0) << error;
  }
  for (const std::string& path : {path_, v2_path}) {
    SCOPED_TRACE(path);
    TornHeader torn{path, kel::test::read_file(path).substr(0, 132)};
    for (long call = 1;; ++call) {
      faults().reset();
      torn.read_call = call;
      faults().before(kelFaultRead, call, tear_header, &torn);
      faults().count(true);
      Entry entry("first");
      const int rc = Safe(path, kPassword).get_entry(entry, error);
      const long reads = faults().calls(kelFaultRead);
      faults().count(false);
      restore_header(&torn);
      EXPECT_EQ(rc, 0) << "torn at read call " << call << ": " << error;
      EXPECT_EQ(entry.value(), "first value");
      if (call > reads) break;
    }
  }
}

// Lets "another process" finish its append within the same whole second in
// which this Safe scanned the file while that append was still unfinished.
// Returns false when the second ticked over in between (the caller retries).
bool append_within_one_second(Safe& safe, ForeignAppend& other) {
  if (!other.write_body(other.record.size() - 1)) return false;
  struct stat before {};
  ::stat(other.path.c_str(), &before);
  std::vector<std::string> names;
  std::string error;
  if (safe.list_entries(names, error) != 0) return false;  // scan stops at the zero byte
  for (const auto& name : names) {
    if (name == "foreign") return false;
  }
  if (!other.finish()) return false;
  struct stat after {};
  ::stat(other.path.c_str(), &after);
  return before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
         before.st_ctim.tv_sec == after.st_ctim.tv_sec;
}

// With whole-second timestamps, a file whose last append was finished in the
// same second as this Safe's scan looks unchanged: same inode, size and
// times. The Safe must still see the record, and its next write must not
// take the record for an interrupted append and cut it off.
TEST_F(Interleaving, WholeSecondTimestampsHideNoFinishedAppendFromAWriter) {
  Safe writer(path_, kPassword);
  ASSERT_NO_FATAL_FAILURE(stage_hidden_append(writer));
  std::string error;

  EXPECT_TRUE(writer.exists("foreign")) << "an acknowledged item of another process is not seen";
  EXPECT_EQ(writer.add_entry(Entry("mine", "my value"), error), 0) << error;
  expect_store_holds({{"first", "first value"},
                      {"second", "second value"},
                      {"foreign", "foreign value"},
                      {"mine", "my value"}});
}

TEST_F(Interleaving, WholeSecondTimestampsHideNoFinishedAppendFromARemoval) {
  Safe writer(path_, kPassword);
  ASSERT_NO_FATAL_FAILURE(stage_hidden_append(writer));
  std::string error;

  EXPECT_EQ(writer.remove_entry("first", error), 0) << error;
  expect_store_holds({{"second", "second value"}, {"foreign", "foreign value"}});
}

}  // namespace
}  // namespace kel::robust
