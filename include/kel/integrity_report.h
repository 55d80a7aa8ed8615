// What an integrity check of a store file found (Safe::check), and what a
// repair did about it (Safe::repair).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kel {

struct IntegrityReport {
  // A stretch of the file that holds no intact record, or a record that
  // reads never reach: a second record of a name, whose first record they
  // use (`what` gives that one's offset).
  struct Region {
    std::int64_t offset = 0;
    std::int64_t length = 0;
    std::string what;  // what failed there
  };

  // ---- Filled by check (and by repair, which checks first) ----------------
  // Damaged stretches, in file order.
  std::vector<Region> damaged;
  // Names (raw bytes) whose record is found but whose value fails to
  // authenticate, in file order.
  std::vector<std::string> failed_values;
  // Records whose name and value both authenticate.
  std::uint64_t intact = 0;
  // Bytes at the end of the file left by an append that never finished. Not
  // damage: nothing there was acknowledged, and the next write cuts it off,
  // or completes it when it is whole (below).
  std::int64_t unfinished_append = 0;
  // The unfinished append is a whole record that authenticates and lacks
  // only its first byte: the next write completes it instead of cutting it.
  bool unfinished_append_complete = false;

  // ---- Filled by repair -----------------------------------------------------
  // True when a new store file was put in place.
  bool rewritten = false;
  // Where the file as it was before the repair is kept.
  std::string backup;
  // What the new file leaves out, one line each.
  std::vector<std::string> dropped;
  // Values whose name was lost, kept under a new name: (new name, what was
  // lost).
  std::vector<std::pair<std::string, std::string>> renamed;

  // Whether everything authenticated.
  bool clean() const { return damaged.empty() && failed_values.empty(); }
};

}  // namespace kel
