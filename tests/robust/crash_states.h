// What a power cut may leave on the disk, rebuilt from a recorded log of the
// calls that changed one directory (see fault_control.h, recording).
//
// The model: a write, truncation or file creation reaches the disk at the
// latest with the next completed fsync/fdatasync of that file; a name made,
// renamed, linked or removed lasts at the latest with the next fsync of the
// directory. Until then each change may or may not be on the disk, in any
// combination, and the last write to a file may be torn at a 512-byte
// boundary of the file (its first part on the disk, the rest not). A crash
// point k means the first k logged calls were made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kel::robust {

struct LoggedCall {
  int kind = 0;  // KelRecordKind
  unsigned long long file = 0;
  long long offset = 0;
  std::string data;
  std::string name, name2;
};

// The directory before the operation: name -> inode and bytes.
struct DirectoryImage {
  struct File {
    unsigned long long inode = 0;
    std::string bytes;
  };
  std::map<std::string, File> files;
};

// One crash state: the crash point, which of the changes that were not yet
// synced are on the disk (log positions), and writes torn short
// (log position -> bytes of it that reached the disk).
struct CrashState {
  std::size_t point = 0;
  std::vector<std::size_t> applied;
  std::map<std::size_t, std::size_t> torn;
};

DirectoryImage image_of_directory(const std::string& dir);

// Up to `budget` distinct crash states of `log`: every state when there are
// no more than that, otherwise the states without and with every unsynced
// change at each crash point plus states drawn from `seed`.
std::vector<CrashState> crash_states(const std::vector<LoggedCall>& log,
                                     std::size_t budget, std::uint64_t seed);

// The files (name -> bytes) that the state leaves.
std::map<std::string, std::string> files_after_crash(
    const DirectoryImage& before, const std::vector<LoggedCall>& log,
    const CrashState& state);

// "point 7 applied 3,5 torn 5:1024", and back.
std::string describe(const CrashState& state);
CrashState parse_crash_state(const std::string& text);

}  // namespace kel::robust
