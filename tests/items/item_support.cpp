#include "items/item_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "kel/safe.h"
#include "support/test_support.h"

namespace kel::test::items {

std::uint64_t get_le(const std::string& data, std::size_t at, int width) {
  std::uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(data.at(at + i));
  }
  return value;
}

void put_le(std::string& data, std::size_t at, std::uint64_t value,
            int width) {
  for (int i = 0; i < width; ++i) {
    data.at(at + i) = static_cast<char>((value >> (8 * i)) & 0xff);
  }
}

std::string build_record(const std::string& key, std::size_t start,
                         const std::string& name, const std::string& value) {
  ref::RecordOptions fixed;
  fixed.name_nonce = pattern(12, 101);
  fixed.value_nonce = pattern(12, 202);
  return ref::make_record(key, static_cast<std::int64_t>(start), name, value, fixed);
}

std::string pattern(std::size_t length, std::uint32_t seed) {
  std::string out(length, '\0');
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (std::size_t i = 0; i < length; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    // Every eighth byte is a zero byte.
    out[i] = (i % 8 == 3) ? '\0' : static_cast<char>(x & 0xff);
  }
  return out;
}

std::string value_for(const std::string& name) {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : name) h = (h ^ c) * 16777619u;
  return pattern(1 + h % 2000, h);
}

void create_store(const std::string& path, const std::string& password, int format) {
  kel::Safe safe(path, password);
  std::string error;
  if (format == 1) {
    ASSERT_EQ(safe.create_safe(error), 0) << error;
  } else {
    ASSERT_EQ(safe.create_safe(cheapest(format), error), 0) << error;
  }
}

std::vector<std::string> dir_entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

int file_mode(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

ChildGroup::ChildGroup() {
  if (pipe(start_pipe_) != 0) start_pipe_[0] = start_pipe_[1] = -1;
}

ChildGroup::~ChildGroup() {
  release();
  wait_all();
  if (start_pipe_[0] >= 0) close(start_pipe_[0]);
}

pid_t ChildGroup::spawn(const std::function<int()>& body) {
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    if (start_pipe_[1] >= 0) close(start_pipe_[1]);
    char c;
    // Returns 0 (end of file) once the parent closes the writing end.
    while (read(start_pipe_[0], &c, 1) < 0 && errno == EINTR) {
    }
    int code = 0;
    try {
      code = body();
    } catch (...) {
      code = 99;
    }
    fflush(stdout);
    _exit(code);
  }
  if (pid > 0) children_.push_back(pid);
  return pid;
}

void ChildGroup::release() {
  if (start_pipe_[1] >= 0) {
    close(start_pipe_[1]);
    start_pipe_[1] = -1;
  }
}

std::vector<int> ChildGroup::wait_all() {
  std::vector<int> codes;
  for (pid_t pid : children_) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    codes.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }
  children_.clear();
  return codes;
}

int run_in_child(const std::function<int()>& body) {
  ChildGroup group;
  group.spawn(body);
  group.release();
  auto codes = group.wait_all();
  return codes.empty() ? -1 : codes[0];
}

int run_unprivileged(const std::string& dir,
                     const std::function<int()>& body) {
  return run_in_child([&]() -> int {
    if (geteuid() == 0) {
      constexpr uid_t kNobody = 65534;
      std::error_code ec;
      if (::chown(dir.c_str(), kNobody, kNobody) != 0) return 90;
      for (const auto& e :
           std::filesystem::recursive_directory_iterator(dir, ec)) {
        if (::lchown(e.path().c_str(), kNobody, kNobody) != 0) return 90;
      }
      if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
          setuid(kNobody) != 0) {
        return 91;
      }
    }
    return body();
  });
}

int run_as(uid_t uid, gid_t gid, const std::vector<gid_t>& groups,
           const std::function<int()>& body) {
  return run_in_child([&]() -> int {
    if (setgroups(groups.size(), groups.data()) != 0 || setresgid(gid, gid, gid) != 0 ||
        setresuid(uid, uid, uid) != 0) {
      return 92;
    }
    return body();
  });
}

ScopedCwd::ScopedCwd(const std::string& dir) {
  old_fd_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ok_ = old_fd_ >= 0 && chdir(dir.c_str()) == 0;
}

ScopedCwd::~ScopedCwd() {
  if (old_fd_ >= 0) {
    if (fchdir(old_fd_) != 0) {
      ADD_FAILURE() << "could not return to the old working directory";
    }
    close(old_fd_);
  }
}

ScopedTmpfs::ScopedTmpfs(const std::string& dir, bool read_only,
                         const std::string& type)
    : dir_(dir) {
  unsigned long flags = MS_NOSUID | MS_NODEV;
  if (read_only) flags |= MS_RDONLY;
  const char* options = type == "tmpfs" ? "size=4m,mode=0700" : "mode=0700";
  if (mount("kel-safe-test", dir.c_str(), type.c_str(), flags, options) == 0) {
    mounted_ = true;
  } else {
    reason_ = "cannot mount a " + type + " here: " + strerror(errno);
  }
}

ScopedTmpfs::~ScopedTmpfs() {
  if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
}

}  // namespace kel::test::items
