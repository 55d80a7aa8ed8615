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
// The key comes as for any command (a password, --identity or --key-file)
// and must open all three files. The header (the key slots, the password,
// the store key, the key derivation, the format) is never merged: the
// result keeps the header of the side that changed it, with the entries of
// both, so that a slot granted on one side stays and one revoked there
// never comes back. When both sides changed it (two members granted or
// revoked at once), either header would lose the other's change unnoticed:
// the driver reports that conflict, leaves OURS as git gave it, and the
// user merges by hand. So it is when the one side's change is neither a
// grant nor a revocation against BASE: an old copy of the file, restored
// from before a revocation, would bring the revoked member back. A side
// that no longer opens with the key (its password changed, or the
// identity's slot was revoked there) is refused as well.
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
#include <string_view>
#include <vector>

#include <kel/store_format.h>

#include "key_source.h"
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
const char* const kSlotsByHand =
    "; OURS is left as git gave it: keep one side (git checkout --theirs FILE), make our "
    "grant or revoke again on it, and bring our entries with kel-safe -s FILE merge "
    "OUR-COPY (OUR-COPY from git show :2:FILE)";

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

// The slots of a format-3 header (`header` as header_of gives it, whose
// raw bytes follow its last '/'): each slot's raw bytes, and its public
// key. The layout: slot_count (2 bytes, little-endian) at 48, the slots
// back to back from 52; in a slot, slot_length (2 bytes) at 2,
// label_length at 12, the label from 13, the public key (32 bytes) after
// it. Empty when the header is not format 3 or does not parse.
struct Slot {
  std::string bytes, public_key;
};
std::vector<Slot> slots_of(const std::string& header) {
  if (!header.starts_with("3/")) return {};
  std::size_t at = 0;
  for (int i = 0; i < 4; ++i) at = header.find('/', at) + 1;  // version and the KDF's three
  const std::string_view raw = std::string_view(header).substr(at);
  auto byte = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(raw[i])); };
  if (raw.size() < 52) return {};
  const std::size_t count = byte(48) | (byte(49) << 8);
  std::vector<Slot> slots;
  std::size_t offset = 52;
  for (std::size_t n = 0; n < count; ++n) {
    if (offset + 13 > raw.size()) return {};
    const std::size_t length = byte(offset + 2) | (byte(offset + 3) << 8);
    const std::size_t public_at = offset + 13 + byte(offset + 12);
    if (offset + length > raw.size() || public_at + 32 > offset + length) return {};
    slots.push_back({std::string(raw.substr(offset, length)), std::string(raw.substr(public_at, 32))});
    offset += length;
  }
  return slots;
}

// Whether a side's changed header may replace BASE's in the result. Two
// changes are safe: a grant, which adds slots and keeps BASE's byte for
// byte (the same store key: BASE's members open the result, and nobody
// BASE did not admit); and a revocation, which only removes slots (every
// remaining key was one BASE trusted). Anything else is refused: a slot
// BASE does not have under another store key is an old copy of the file
// restored from before a revocation (taking it would bring the revoked
// member back and seal the other side's new entries under a key they
// hold), a password change or a new key. Outside format 3 a header holds
// no slots, and the old rule (the side that changed it wins) stands.
bool safe_header_change(const std::string& base, const std::string& side) {
  const std::vector<Slot> base_slots = slots_of(base), side_slots = slots_of(side);
  if (base_slots.empty() || side_slots.empty()) return !base.starts_with("3/") || !side.starts_with("3/");
  auto has = [](const std::vector<Slot>& slots, std::string Slot::*field,
                const std::string& value) {
    return std::any_of(slots.begin(), slots.end(),
                       [&](const Slot& each) { return each.*field == value; });
  };
  const bool granted = std::all_of(base_slots.begin(), base_slots.end(), [&](const Slot& each) {
    return has(side_slots, &Slot::bytes, each.bytes);
  });
  const bool revoked = std::all_of(side_slots.begin(), side_slots.end(), [&](const Slot& each) {
    return has(base_slots, &Slot::public_key, each.public_key);
  });
  return granted || revoked;
}

// OURS, opened with the password from wherever the user gave it (typed on
// the terminal, it may be retried); the password is kept in `password`.
std::unique_ptr<kel::Safe> open_ours(const Context& context, const std::string& path,
                                     Secret& password) {
  const bool typed = password_is_typed(context.passwords);
  const bool keyless = opens_with_identity(context.passwords);
  for (int attempt = 1;; ++attempt) {
    password = keyless ? Secret() : store_password(context.passwords, path, false);
    auto safe = safe_at(path, password);
    use_key_source(*safe, context.passwords, "merge-driver");
    std::string error;
    if (safe->key_verified(error)) return safe;
    if (keyless || !typed || attempt == kTries ||
        safe->status() != kel::Status::wrong_password) {
      open_failure("merge-driver", safe->status(), error, path, context.passwords);
    }
    note("wrong password, try again");
  }
}

// BASE or THEIRS (or a copy of it), with the key that opened OURS.
std::unique_ptr<kel::Safe> open_side(const Context& context, const std::string& path,
                                     const std::string& which, const Secret& password) {
  auto safe = safe_at(path, password);
  use_key_source(*safe, context.passwords, "merge-driver");
  std::string error;
  if (safe->key_verified(error)) return safe;
  if (safe->status() == kel::Status::wrong_password) {
    throw Failure(kWrongPassword, "merge-driver: " + which + " " + tool::quoted(path) +
                                      (opens_with_identity(context.passwords)
                                           ? " does not open with the identity that opens "
                                             "OURS: its slot was revoked on one side"
                                           : " does not open with the password of OURS: the "
                                             "store's password changed on one side") +
                                      kByHand);
  }
  library_failure("merge-driver", safe->status(), error, path);
}

// A copy of THEIRS beside OURS, for a result that keeps their header: it
// takes OURS's place once the entries are merged into it, and is removed
// (with the backup its rewrite left) if anything fails before.
class TheirCopy {
 public:
  TheirCopy(const std::string& theirs, const std::string& ours) {
    const std::size_t slash = ours.rfind('/');
    std::string pattern =
        (slash == std::string::npos ? std::string() : ours.substr(0, slash + 1)) +
        ".kel-safe-merge-XXXXXX";
    UniqueFd out(mkostemp(pattern.data(), O_CLOEXEC));
    if (!out) {
      throw Failure(kFileError, "merge-driver: cannot make a file beside " +
                                    tool::quoted(ours) + ": " + strerror(errno));
    }
    path_ = pattern;
    UniqueFd in(open(theirs.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!in) {
      throw Failure(kStoreError, "merge-driver: cannot read THEIRS " + tool::quoted(theirs) +
                                     ": " + strerror(errno));
    }
    std::string block(1 << 16, '\0');
    for (;;) {
      const ssize_t n = read(in.get(), block.data(), block.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        throw Failure(kStoreError, "merge-driver: cannot read THEIRS " + tool::quoted(theirs) +
                                       ": " + strerror(errno));
      }
      if (n == 0) break;
      write_all(out.get(), std::string_view(block.data(), static_cast<std::size_t>(n)),
                tool::quoted(path_));
    }
    if (fsync(out.get()) != 0) {
      throw Failure(kFileError, "merge-driver: cannot sync " + tool::quoted(path_) + ": " +
                                    strerror(errno));
    }
  }
  ~TheirCopy() {
    if (!path_.empty()) unlink(path_.c_str());
    if (!backup_.empty()) unlink(backup_.c_str());
  }
  TheirCopy(const TheirCopy&) = delete;
  TheirCopy& operator=(const TheirCopy&) = delete;

  const std::string& path() const { return path_; }
  // The backup a rewrite of the copy leaves beside it: removed with it.
  void forget_backup(const std::string& backup) { backup_ = backup; }
  // Puts the copy in OURS's place.
  void replace(const std::string& ours) {
    if (rename(path_.c_str(), ours.c_str()) != 0) {
      throw Failure(kFileError, "merge-driver: cannot put the result in " + tool::quoted(ours) +
                                    ": " + strerror(errno));
    }
    path_.clear();
  }

 private:
  std::string path_;
  std::string backup_;
};

int run_merge_driver(const Context& context, const DriverArgs& args) {
  // git gives an empty BASE when the two sides have no common version of
  // the file: everything on either side is then an addition.
  const bool no_base = file_size(args.base, "BASE") == 0;
  file_size(args.ours, "OURS");
  file_size(args.theirs, "THEIRS");
  Secret password;
  std::unique_ptr<kel::Safe> ours = open_ours(context, args.ours, password);
  std::unique_ptr<kel::Safe> theirs = open_side(context, args.theirs, "THEIRS", password);
  std::unique_ptr<kel::Safe> base =
      no_base ? nullptr : open_side(context, args.base, "BASE", password);

  const std::string our_header = header_of(*ours, args.ours);
  const std::string their_header = header_of(*theirs, args.theirs);
  const std::string base_header = no_base ? std::string() : header_of(*base, args.base);
  // Whose header the result keeps: ours, unless only their side changed it.
  bool keep_theirs = false;
  if (our_header != their_header) {
    if (no_base) {
      throw Failure(kRejected,
                    "merge-driver: the two sides have no common version, and their headers "
                    "differ (key slots, password, store key, key derivation or format): "
                    "either would lose the other's" + std::string(kByHand));
    }
    if (our_header != base_header && their_header != base_header) {
      throw Failure(kRejected,
                    "merge-driver: conflict: both sides changed the store's key slots or "
                    "password (a grant, revoke or passwd on each); merged, one side's change "
                    "would be lost, a slot granted there gone or one revoked there back" +
                        std::string(kSlotsByHand));
    }
    keep_theirs = our_header == base_header;
    if (!safe_header_change(base_header, keep_theirs ? their_header : our_header)) {
      throw Failure(kRejected,
                    "merge-driver: conflict: " + std::string(keep_theirs ? "their" : "our") +
                        " side's key slots are not BASE's with slots granted or revoked: a "
                        "slot BASE does not have, under another store key (a copy of the "
                        "store from before a revocation, a password change or a new key); "
                        "taken, it could bring back a revoked member" + kByHand);
    }
  }

  const StoreEntries base_entries =
      no_base ? StoreEntries() : read_store(*base, "merge-driver", args.base);
  const StoreEntries their_entries = read_store(*theirs, "merge-driver", args.theirs);
  const StoreEntries our_entries = read_store(*ours, "merge-driver", args.ours);
  base.reset();
  theirs.reset();
  MergePlan plan = plan_three_way(base_entries, our_entries, their_entries, std::time(nullptr));
  if (keep_theirs) {
    // Their header, with the entries the merge gives OURS: written over a
    // copy of THEIRS, which then takes OURS's place.
    ours.reset();
    const MergePlan onto = plan_onto(their_entries, our_entries, plan);
    TheirCopy copy(args.theirs, args.ours);
    if (!onto.empty()) {
      std::unique_ptr<kel::Safe> merged = open_side(context, copy.path(), "THEIRS", password);
      std::string error;
      copy.forget_backup(merged->removal_backup_path());
      if (merged->apply_changes(onto.put, onto.remove, error) != 0) {
        library_failure("merge-driver", merged->status(), error, args.ours);
      }
    }
    copy.replace(args.ours);
    if (!context.quiet) {
      note("merge-driver: their side changed the store's key slots or password; the result "
           "keeps theirs");
    }
  } else if (!plan.empty()) {
    std::string error;
    if (ours->apply_changes(plan.put, plan.remove, error) != 0) {
      library_failure("merge-driver", ours->status(), error, args.ours);
    }
    // The backup would be left in the work tree beside git's copy.
    unlink(ours->removal_backup_path().c_str());
  }
  password.clear();
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
