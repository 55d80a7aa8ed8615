// Positioned writes and the fcntl record-lock wrappers, including a lock held
// by another process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "kel/backup_aside.h"
#include "kel/entry.h"
#include "kel/file_lock.h"
#include "kel/safe.h"
#include "kel/store.h"
#include "support/test_support.h"
#include "support/unit_util.h"

namespace {

using kel::test::errno_text;
using kel::test::TempDir;

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

class StoreWrite : public testing::Test {
 protected:
  void SetUp() override {
    path = dir.file("data.bin");
    kel::test::write_file(path, "abc");
  }
  TempDir dir;
  std::string path;
  kel::Store store;
};

TEST_F(StoreWrite, WritesAtTheOffsetAndLeavesThePositionBehindTheBlock) {
  Fd f(open(path.c_str(), O_RDWR));
  ASSERT_GE(f.fd, 0);
  std::string error = "untouched";
  ASSERT_EQ(store.store_write(f.fd, 1, "XYZW", 4, error), 0);
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(kel::test::read_file(path), "aXYZW");
  EXPECT_EQ(lseek(f.fd, 0, SEEK_CUR), 5);
}

TEST_F(StoreWrite, OffsetBeyondTheEndLeavesAZeroFilledHole) {
  Fd f(open(path.c_str(), O_RDWR));
  ASSERT_GE(f.fd, 0);
  std::string error;
  ASSERT_EQ(store.store_write(f.fd, 10, "XY", 2, error), 0);
  EXPECT_EQ(kel::test::read_file(path), std::string("abc\0\0\0\0\0\0\0XY", 12));
}

TEST_F(StoreWrite, ZeroSizeOnlyPositions) {
  Fd f(open(path.c_str(), O_RDWR));
  ASSERT_GE(f.fd, 0);
  std::string error = "untouched";
  EXPECT_EQ(store.store_write(f.fd, 2, "XY", 0, error), 0);
  EXPECT_EQ(store.store_write(f.fd, 2, "XY", -5, error), 0);
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(kel::test::read_file(path), "abc");
  EXPECT_EQ(lseek(f.fd, 0, SEEK_CUR), 2);
}

TEST_F(StoreWrite, LargeBlockIsWrittenWhole) {
  Fd f(open(path.c_str(), O_RDWR));
  ASSERT_GE(f.fd, 0);
  std::string block(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131);
  std::string error;
  ASSERT_EQ(store.store_write(f.fd, 0, block.data(), static_cast<long>(block.size()), error), 0);
  EXPECT_EQ(kel::test::read_file(path), block);
}

TEST_F(StoreWrite, ReadOnlyDescriptorFailsAtTheWrite) {
  Fd f(open(path.c_str(), O_RDONLY));
  ASSERT_GE(f.fd, 0);
  std::string error = "previous";
  EXPECT_EQ(store.store_write(f.fd, 0, "XY", 2, error), -1);
  EXPECT_EQ(error, "Error, could not write to store - " + errno_text(EBADF));
  EXPECT_EQ(kel::test::read_file(path), "abc");
}

TEST_F(StoreWrite, ClosedDescriptorFailsAtTheSeek) {
  const int fd = open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(close(fd), 0);
  std::string error = "previous";
  EXPECT_EQ(store.store_write(fd, 0, "XY", 2, error), -1);
  EXPECT_EQ(error, "Could not set file offset - " + errno_text(EBADF));
  EXPECT_EQ(kel::test::read_file(path), "abc");
}

TEST_F(StoreWrite, NegativeOffsetFailsAtTheSeek) {
  Fd f(open(path.c_str(), O_RDWR));
  ASSERT_GE(f.fd, 0);
  std::string error;
  EXPECT_EQ(store.store_write(f.fd, -1, "XY", 2, error), -1);
  EXPECT_EQ(error, "Could not set file offset - " + errno_text(EINVAL));
}

// A child process that takes a lock on the file, tells the parent, waits for
// the word to let go, announces that it is about to release, then releases.
class LockHolder {
 public:
  LockHolder(const std::string& path, short type) {
    if (pipe(locked_) != 0 || pipe(go_) != 0 || pipe(releasing_) != 0) return;
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      close(locked_[0]);
      close(go_[1]);
      close(releasing_[0]);
      const int fd = open(path.c_str(), O_RDWR);
      struct flock fl {};
      fl.l_type = type;
      fl.l_whence = SEEK_SET;
      const char status = (fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0) ? 'L' : 'E';
      (void)!write(locked_[1], &status, 1);
      // Told to let go, or a minute gone: a caller that wrongly waits for
      // the lock is then released, and finds the release announced.
      struct pollfd told {go_[0], POLLIN, 0};
      poll(&told, 1, 60 * 1000);
      // Give a parent that wrongly did not wait the time to run ahead.
      usleep(200 * 1000);
      (void)!write(releasing_[1], "R", 1);
      fl.l_type = F_UNLCK;
      fcntl(fd, F_SETLK, &fl);
      _exit(0);
    }
    close(locked_[1]);
    close(go_[0]);
    close(releasing_[1]);
    char status = 0;
    ok_ = read(locked_[0], &status, 1) == 1 && status == 'L';
  }
  ~LockHolder() {
    release();
    if (pid_ > 0) {
      int st = 0;
      waitpid(pid_, &st, 0);
    }
    for (int fd : {locked_[0], go_[1], releasing_[0]}) {
      if (fd >= 0) close(fd);
    }
  }
  bool ok() const { return ok_; }
  // Tells the child to release; it does so a moment later.
  void release() {
    if (go_[1] >= 0) {
      (void)!write(go_[1], "G", 1);
      close(go_[1]);
      go_[1] = -1;
    }
  }
  // Whether the child had announced its release already (does not wait).
  bool announced_release() {
    const int flags = fcntl(releasing_[0], F_GETFL);
    fcntl(releasing_[0], F_SETFL, flags | O_NONBLOCK);
    char c = 0;
    const bool seen = read(releasing_[0], &c, 1) == 1 && c == 'R';
    fcntl(releasing_[0], F_SETFL, flags);
    return seen;
  }

 private:
  int locked_[2] = {-1, -1};
  int go_[2] = {-1, -1};
  int releasing_[2] = {-1, -1};
  pid_t pid_ = -1;
  bool ok_ = false;
};

class Locks : public testing::Test {
 protected:
  void SetUp() override {
    path = dir.file("locked.safe");
    kel::test::write_file(path, std::string(200, 'x'));
  }
  TempDir dir;
  std::string path;
  kel::Store store;
};

TEST_F(Locks, WriteLockFailsAtOnceWhileAnotherProcessHoldsOne) {
  LockHolder holder(path, F_WRLCK);
  ASSERT_TRUE(holder.ok());
  Fd f(open(path.c_str(), O_RDWR));
  ASSERT_GE(f.fd, 0);
  errno = 0;
  EXPECT_EQ(store.write_lock(f.fd, 0, SEEK_SET, 0), -1);
  EXPECT_TRUE(errno == EACCES || errno == EAGAIN) << errno_text(errno);
  errno = 0;
  EXPECT_EQ(store.read_lock(f.fd, 0, SEEK_SET, 0), -1);
  EXPECT_TRUE(errno == EACCES || errno == EAGAIN) << errno_text(errno);
  // Unlocking what this process does not hold is not a conflict.
  EXPECT_EQ(store.unlock_file(f.fd, 0, SEEK_SET, 0), 0);
}

TEST_F(Locks, WriteWaitLockWaitsUntilTheOtherProcessReleases) {
  LockHolder holder(path, F_WRLCK);
  ASSERT_TRUE(holder.ok());
  Fd f(open(path.c_str(), O_RDWR));
  ASSERT_GE(f.fd, 0);
  holder.release();
  ASSERT_EQ(store.write_wait_lock(f.fd, 0, SEEK_SET, 0), 0);
  EXPECT_TRUE(holder.announced_release()) << "write_wait_lock returned before the holder let go";
  EXPECT_EQ(store.unlock_file(f.fd, 0, SEEK_SET, 0), 0);
}

TEST_F(Locks, ReadWaitLockWaitsForAWriter) {
  LockHolder holder(path, F_WRLCK);
  ASSERT_TRUE(holder.ok());
  Fd f(open(path.c_str(), O_RDWR));
  ASSERT_GE(f.fd, 0);
  holder.release();
  ASSERT_EQ(store.read_wait_lock(f.fd, 0, SEEK_SET, 0), 0);
  EXPECT_TRUE(holder.announced_release()) << "read_wait_lock returned before the holder let go";
}

// A writer holds the lock for as long as it writes, which for a large value
// is long: readers of either format read the header and the records without
// waiting for it, whether their Safe is fresh or already open.
TEST_F(Locks, ReadersDoNotWaitForAWriter) {
  using kel::test::kPassword;
  for (const int format : {1, 2}) {
    SCOPED_TRACE("format " + std::to_string(format));
    const std::string store_path = dir.file("readers" + std::to_string(format) + ".safe");
    std::string error;
    {
      kel::Safe creator(store_path, kPassword);
      kel::StoreOptions options = kel::test::cheapest_v2();
      options.format = format;
      ASSERT_EQ(creator.create_safe(options, error), 0) << error;
      ASSERT_EQ(creator.add_entry(kel::Entry("name", "value"), error), 0) << error;
    }
    kel::Safe opened(store_path, kPassword);
    ASSERT_TRUE(opened.key_verified(error)) << error;
    LockHolder writer(store_path, F_WRLCK);
    ASSERT_TRUE(writer.ok());
    kel::Safe fresh(store_path, kPassword);
    for (kel::Safe* reader : {&fresh, &opened}) {
      kel::Entry entry("name");
      EXPECT_EQ(reader->get_entry(entry, error), 0) << error;
      EXPECT_EQ(entry.value(), "value");
      EXPECT_TRUE(reader->key_verified(error)) << error;
      std::vector<std::string> names;
      EXPECT_EQ(reader->list_entries(names, error), 0) << error;
      kel::FormatInfo info;
      EXPECT_EQ(reader->format_info(info, error), 0) << error;
      EXPECT_EQ(info.version, format);
    }
    // A wrong password is told at once, not after the writer is done.
    kel::Safe wrong(store_path, "not the password");
    kel::Entry entry("name");
    EXPECT_EQ(wrong.get_entry(entry, error), -1);
    EXPECT_EQ(error, "Invalid password");
    EXPECT_FALSE(kel::Safe(store_path, "not the password").key_verified(error));
    EXPECT_FALSE(writer.announced_release()) << "a reader waited for the writer";
  }
}

TEST_F(Locks, ReadLocksAreSharedButExcludeWriters) {
  LockHolder holder(path, F_RDLCK);
  ASSERT_TRUE(holder.ok());
  Fd f(open(path.c_str(), O_RDWR));
  ASSERT_GE(f.fd, 0);
  EXPECT_EQ(store.read_lock(f.fd, 0, SEEK_SET, 0), 0);
  EXPECT_EQ(store.write_lock(f.fd, 0, SEEK_SET, 0), -1);
  EXPECT_EQ(store.unlock_file(f.fd, 0, SEEK_SET, 0), 0);
}

TEST_F(Locks, LocksCoverOnlyTheirRegion) {
  // A child locks bytes [100, 150) through lock_region.
  std::fflush(nullptr);
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    kel::Store child;
    const int fd = open(path.c_str(), O_RDWR);
    const char status = child.lock_region(fd, F_SETLK, F_WRLCK, 100, SEEK_SET, 50) == 0 ? 'L' : 'E';
    (void)!write(ready[1], &status, 1);
    char c;
    (void)!read(done[0], &c, 1);
    _exit(0);
  }
  char status = 0;
  ASSERT_EQ(read(ready[0], &status, 1), 1);
  ASSERT_EQ(status, 'L');
  Fd f(open(path.c_str(), O_RDWR));
  EXPECT_EQ(store.write_lock(f.fd, 0, SEEK_SET, 100), 0);     // [0,100)
  EXPECT_EQ(store.write_lock(f.fd, 150, SEEK_SET, 0), 0);     // [150,end)
  EXPECT_EQ(store.write_lock(f.fd, 149, SEEK_SET, 1), -1);    // last locked byte
  EXPECT_EQ(store.write_lock(f.fd, -101, SEEK_END, 1), 0);    // byte 99
  EXPECT_EQ(store.write_lock(f.fd, -51, SEEK_END, 1), -1);    // byte 149
  EXPECT_EQ(store.write_lock(f.fd, 0, SEEK_SET, 0), -1);      // to the end
  (void)!write(done[1], "D", 1);
  int st = 0;
  waitpid(pid, &st, 0);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST_F(Locks, WrappersTakeProcessLocksThatDoNotConflictWithinTheProcess) {
  // The exported wrappers are plain POSIX record locks: two descriptors of
  // one process never block each other.
  Fd a(open(path.c_str(), O_RDWR));
  Fd b(open(path.c_str(), O_RDWR));
  ASSERT_GE(a.fd, 0);
  ASSERT_GE(b.fd, 0);
  EXPECT_EQ(store.write_lock(a.fd, 0, SEEK_SET, 0), 0);
  EXPECT_EQ(store.write_lock(b.fd, 0, SEEK_SET, 0), 0);
  EXPECT_EQ(store.unlock_file(a.fd, 0, SEEK_SET, 0), 0);
}

TEST_F(Locks, UnlockingAnUnlockedRegionSucceeds) {
  Fd f(open(path.c_str(), O_RDWR));
  EXPECT_EQ(store.unlock_file(f.fd, 0, SEEK_SET, 0), 0);
  EXPECT_EQ(store.unlock_file(f.fd, 10, SEEK_SET, 5), 0);
}

TEST_F(Locks, FailuresReportFcntlErrors) {
  errno = 0;
  EXPECT_EQ(store.write_lock(-1, 0, SEEK_SET, 0), -1);
  EXPECT_EQ(errno, EBADF);
  // A write lock needs a descriptor open for writing.
  Fd ro(open(path.c_str(), O_RDONLY));
  errno = 0;
  EXPECT_EQ(store.write_lock(ro.fd, 0, SEEK_SET, 0), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(store.read_lock(ro.fd, 0, SEEK_SET, 0), 0);
}

// The application's file locks are the library's own kind: they exclude
// another description of the file in this very process, a shared one needs
// only read access, and failures carry the system's reason.
TEST_F(Locks, FileLocksExcludeOtherDescriptionsOfTheProcess) {
  using kel::FileLockMode;
  Fd a(open(path.c_str(), O_RDWR));
  Fd b(open(path.c_str(), O_RDONLY));
  std::string error;
  bool conflicts = false;
  ASSERT_EQ(kel::take_file_lock(a.fd, FileLockMode::exclusive, false, error), 0) << error;
  EXPECT_EQ(kel::file_lock_conflicts(b.fd, FileLockMode::shared, conflicts, error), 0);
  EXPECT_TRUE(conflicts);
  EXPECT_EQ(kel::take_file_lock(b.fd, FileLockMode::shared, false, error), -1);
  EXPECT_EQ(error, "Could not lock file - " + errno_text(EAGAIN));
  EXPECT_EQ(kel::release_file_lock(a.fd, error), 0) << error;
  ASSERT_EQ(kel::take_file_lock(b.fd, FileLockMode::shared, true, error), 0) << error;
  EXPECT_EQ(kel::file_lock_conflicts(a.fd, FileLockMode::shared, conflicts, error), 0);
  EXPECT_FALSE(conflicts);
  EXPECT_EQ(kel::file_lock_conflicts(a.fd, FileLockMode::exclusive, conflicts, error), 0);
  EXPECT_TRUE(conflicts);
  // An exclusive lock needs a descriptor open for writing.
  EXPECT_EQ(kel::take_file_lock(b.fd, FileLockMode::exclusive, false, error), -1);
  EXPECT_EQ(error, "Could not lock file - " + errno_text(EBADF));
  EXPECT_EQ(kel::release_file_lock(-1, error), -1);
  EXPECT_EQ(error, "Could not unlock file - " + errno_text(EBADF));
}

// A backup set aside is held while its holder lives; once the holder is
// gone the copy counts as abandoned, and nothing is ever moved over it.
TEST_F(Locks, BackupsSetAsideAreHeldAndNeverOverwritten) {
  const std::string backup = path + ".backup2";
  std::string aside, error;
  int held = -1;
  kel::test::write_file(backup, "first");
  ASSERT_EQ(kel::set_backup_aside(backup, aside, held, error), 0) << error;
  Fd first(held);
  EXPECT_EQ(aside, backup + ".before-import");
  kel::test::write_file(backup, "second");
  ASSERT_EQ(kel::set_backup_aside(backup, aside, held, error), 0) << error;
  EXPECT_EQ(aside, backup + ".before-import.1");
  close(held);
  std::vector<std::string> left;
  ASSERT_EQ(kel::abandoned_backups(backup, left, error), 0);
  EXPECT_EQ(left, std::vector<std::string>{backup + ".before-import.1"});
  EXPECT_EQ(kel::set_backup_aside(backup, aside, held, error), -1);
  EXPECT_EQ(error, "Could not set the backup aside - " + errno_text(ENOENT));
  ASSERT_EQ(kel::put_backup_back(backup + ".before-import", backup, error), 0) << error;
  EXPECT_EQ(kel::test::read_file(backup), "first");
  EXPECT_EQ(kel::test::read_file(backup + ".before-import.1"), "second");
  // The first name is free again: the copy left under a later one is still
  // found, and told to the user.
  left.clear();
  ASSERT_EQ(kel::abandoned_backups(backup, left, error), 0);
  EXPECT_EQ(left, std::vector<std::string>{backup + ".before-import.1"});
}

}  // namespace
