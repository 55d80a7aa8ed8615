// kel-safe merge-driver BASE OURS THEIRS: git's merge driver for store files
// (git config merge.kel-safe.driver 'kel-safe merge-driver %O %A %B'). It
// merges the two sides by name against their common ancestor
// (store_merge.h: plan_three_way) and leaves the result in OURS, where git
// takes it from: one rewrite of OURS, whose backup is not kept, since OURS
// is git's own temporary copy. Exit 0 when the sides merged cleanly, 1 when
// they conflicted (git then reports a conflict and the conflict entries,
// "NAME.conflict-DATE", hold the values that lost their name), another
// status on failure with OURS as git gave it.
//
// The password comes as for any command and must open all three files: the
// result is OURS with its header, so it opens with OURS's password. When
// their side changed the header (the password, the store key, the key
// derivation or the format), keeping OURS's would undo that change
// unnoticed, and opening THEIRS with another password cannot work either:
// the driver refuses, and the user merges by hand (kel-safe merge).
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include <kel/store_format.h>

#include "password.h"
#include "status.h"
#include "store_merge.h"
#include "streams.h"
#include "subcommand.h"
#include "system_failure.h"

namespace kel::tool {

namespace {

constexpr int kTries = 3;
// The header of formats 1 and 2, the same length in both: it holds the
// password's salt and check, the sealed store key and the key derivation's
// parameters, and no write of entries changes it.
constexpr std::size_t kHeaderSize = 132;
// Format 3's header is as long as its key slots make it; bytes 32-47 hold
// its generation.
constexpr std::size_t kV3GenerationStart = 32;
constexpr std::size_t kV3GenerationEnd = 48;
constexpr std::uint32_t kV3MaxHeader = 1 << 16;

struct DriverArgs {
  std::string base, ours, theirs;
};

const char* const kByHand =
    "; OURS is left as git gave it: merge by hand (git checkout --ours FILE; kel-safe -s "
    "FILE merge THEIR-COPY, with THEIR-COPY from git show :3:FILE)";

off_t file_size(const std::string& path, const std::string& which) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    throw Failure(kStoreError, "merge-driver: cannot use " + which + " " + tool::quoted(path) + ": " +
                                   strerror(errno));
  }
  return info.st_size;
}

// What identifies a store's header: its bytes, except, in format 3, the
// generation that every rewrite draws anew (a rewrite on their side changes
// no key). A password change or a new key changes the rest.
std::string header_of(kel::Safe& safe, const std::string& path) {
  kel::FormatInfo info;
  std::string error;
  if (safe.format_info(info, error) != 0) {
    library_failure("merge-driver", safe.status(), error, path);
  }
  std::string header = std::to_string(info.version) + "/" +
                       std::to_string(info.kdf_memory_kib) + "/" +
                       std::to_string(info.kdf_passes) + "/" + std::to_string(info.kdf_lanes);
  if (info.version < 1 || info.version > 3) return header;
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  std::string bytes(kHeaderSize, '\0');
  auto read_at = [&](std::string& into) {
    return fd && pread(fd.get(), into.data(), into.size(), 0) == static_cast<ssize_t>(into.size());
  };
  bool read = read_at(bytes);
  if (read && info.version == 3) {
    // header_length (bytes 12-15, little-endian) covers the key slots.
    std::uint32_t length = 0;
    for (int i = 3; i >= 0; --i) length = (length << 8) | static_cast<unsigned char>(bytes[12 + i]);
    read = length >= kV3GenerationEnd && length <= kV3MaxHeader;
    if (read) {
      bytes.assign(length, '\0');
      read = read_at(bytes);
      std::fill(bytes.begin() + kV3GenerationStart, bytes.begin() + kV3GenerationEnd, '\0');
    }
  }
  if (!read) {
    throw Failure(kStoreError, "merge-driver: cannot read the header of " + tool::quoted(path));
  }
  return header + "/" + bytes;
}

// OURS, opened with the password from wherever the user gave it (typed on
// the terminal, it may be retried); the password is kept in `password`.
std::unique_ptr<kel::Safe> open_ours(const Context& context, const std::string& path,
                                     Secret& password) {
  const bool typed = password_is_typed(context.passwords);
  for (int attempt = 1;; ++attempt) {
    password = store_password(context.passwords, path, false);
    auto safe = safe_at(path, password);
    std::string error;
    if (safe->key_verified(error)) return safe;
    if (!typed || attempt == kTries || safe->status() != kel::Status::wrong_password) {
      library_failure("merge-driver", safe->status(), error, path, {},
                      password_source(context.passwords));
    }
    note("wrong password, try again");
  }
}

// BASE or THEIRS, with the password that opened OURS.
std::unique_ptr<kel::Safe> open_side(const std::string& path, const std::string& which,
                                     const Secret& password) {
  auto safe = safe_at(path, password);
  std::string error;
  if (safe->key_verified(error)) return safe;
  if (safe->status() == kel::Status::wrong_password) {
    throw Failure(kWrongPassword, "merge-driver: " + which + " " + tool::quoted(path) +
                                      " does not open with the password of OURS: the "
                                      "store's password changed on one side" +
                                      kByHand);
  }
  library_failure("merge-driver", safe->status(), error, path);
}

int run_merge_driver(const Context& context, const DriverArgs& args) {
  // git gives an empty BASE when the two sides have no common version of
  // the file: everything on either side is then an addition.
  const bool no_base = file_size(args.base, "BASE") == 0;
  file_size(args.ours, "OURS");
  file_size(args.theirs, "THEIRS");
  Secret password;
  std::unique_ptr<kel::Safe> ours = open_ours(context, args.ours, password);
  std::unique_ptr<kel::Safe> theirs = open_side(args.theirs, "THEIRS", password);
  std::unique_ptr<kel::Safe> base = no_base ? nullptr : open_side(args.base, "BASE", password);
  password.clear();

  const std::string our_header = header_of(*ours, args.ours);
  const std::string their_header = header_of(*theirs, args.theirs);
  if (our_header != their_header && (no_base || header_of(*base, args.base) != their_header)) {
    throw Failure(kRejected,
                  "merge-driver: their side changed the store's header (its password, store "
                  "key, key derivation or format), which the merge would undo" +
                      std::string(kByHand));
  }

  const StoreEntries base_entries =
      no_base ? StoreEntries() : read_store(*base, "merge-driver", args.base);
  const StoreEntries their_entries = read_store(*theirs, "merge-driver", args.theirs);
  const StoreEntries our_entries = read_store(*ours, "merge-driver", args.ours);
  base.reset();
  theirs.reset();
  MergePlan plan = plan_three_way(base_entries, our_entries, their_entries, std::time(nullptr));
  if (!plan.empty()) {
    std::string error;
    if (ours->apply_changes(plan.put, plan.remove, error) != 0) {
      library_failure("merge-driver", ours->status(), error, args.ours);
    }
    // The backup would be left in the work tree beside git's copy.
    unlink(ours->removal_backup_path().c_str());
  }
  for (const std::string& line : plan.conflicts) note("conflict: " + line);
  if (!context.quiet) {
    note("merge-driver: " + std::to_string(plan.added.size()) + " added, " +
         std::to_string(plan.replaced.size()) + " replaced, " +
         std::to_string(plan.removed.size()) + " removed, " +
         std::to_string(plan.conflicts.size()) + " in conflict");
  }
  return plan.conflicts.empty() ? kOk : kFalse;
}

}  // namespace

CommandRun add_merge_driver_command(CLI::App& sub, Context& context) {
  auto args = std::make_shared<DriverArgs>();
  sub.add_option("BASE", args->base, "The common ancestor's copy of the store (git's %O)")
      ->required();
  sub.add_option("OURS", args->ours,
                 "Our copy (git's %A), which receives the result")
      ->required();
  sub.add_option("THEIRS", args->theirs, "Their copy (git's %B)")->required();
  return [&context, args] { return run_merge_driver(context, *args); };
}

}  // namespace kel::tool
