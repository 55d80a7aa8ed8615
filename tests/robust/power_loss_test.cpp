// Power loss at any instant of a writing operation. Each operation runs once
// with a faulty Env recording every call that changes the store's
// directory; then, from the directory as it was before, every crash state
// the disk may be left in (crash_states.h) is rebuilt in a scratch directory
// and checked through the library:
//   - the store opens with its password (after a password change with the
//     old or the new one, and when the new one opens it, the old one opens
//     the backup, which holds everything);
//   - every entry stored before the operation reads back byte for byte, and
//     no other name appears;
//   - the operation's effect is there entirely or not at all, and entirely
//     once the operation has returned;
//   - whenever a rewrite's new file is in place, its backup holds the old
//     file byte for byte;
//   - a repair leaves the store as damaged as it was, or mended: the intact
//     entries read back either way;
//   - the next writer (after a repair, when the store is still damaged) adds
//     an entry, everything reads back after it, check finds no damage, and
//     the tests' own reader finds every byte of the file in a sound record.
// A failing state is printed with its crash point and the changes applied;
// KEL_SAFE_POWER_REPLAY="<operation>|<that description>" checks that one
// state alone. Each operation has its own most states to check (fewer where
// each state lays out a large value), a sixteenth of that under the
// sanitizers, which run the whole suite again at several times the cost;
// KEL_SAFE_POWER_STATES sets one figure for all of them instead.
// Two scenarios record a deliberately broken build, an add with its body
// sync skipped and a repair with its backup's directory sync skipped: the
// explorer must find failing states there, or it proves nothing.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <map>

#include "kel/entry.h"
#include "kel/safe.h"
#include "robust/crash_states.h"
#include "env/env.h"
#include "robust/fault_control.h"
#include "robust/faulty_env.h"
#include "robust/robust_util.h"
#include "engine/records/format.h"
#include "engine/records/record_codec.h"
#include "support/test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define KEL_POWER_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEL_POWER_SANITIZED 1
#endif
#endif

namespace kel::robust {
namespace {

// The file system the library sees in this test, for the whole run: it
// records what an operation asks of the disk, and can skip a sync.
FaultyEnv& faults() {
  static FaultyEnv instance;
  static detail::ScopedEnv seam(instance);
  return instance;
}

using Items = std::map<std::string, std::string>;

const std::string kStoreName = "power.safe";
const std::string kOld = password_for("Power", 1);
const std::string kNew = password_for("Power", 2);
const std::string kNextName = "next-writer";

// A value of exactly `size` bytes (zero bytes included) derived from `name`.
std::string filled(const std::string& name, std::size_t size) {
  std::string value;
  while (value.size() < size) value += value_for(name + std::to_string(value.size()), 4096);
  value.resize(size);
  return value;
}

// The store every operation but creation starts from: values that span
// several sectors, so removals and backups have writes worth tearing.
const Items& initial_items() {
  static const Items items{{"alpha", filled("alpha", 40)},
          {"bravo", filled("bravo", 70000)},
          {"charlie", filled("charlie", 900)},
          {"foxtrot", filled("foxtrot", 300000)}};
  return items;
}

const std::string kSmall = filled("delta", 64);
const std::string kMedium = filled("kilo", 1500);
const std::string kStreamed = filled("echo", (1 << 20) + 300000);

// Where rewrites keep the old store file, after the store's own name.
const char* const kRewriteBackup = ".backup2";
const char* const kRepairBackup = ".damaged-";

struct Paths {
  std::string store, source;
};

struct Scenario {
  const char* label;
  bool creates = false;  // starts from an empty directory
  std::function<int(Safe&, const Paths&, std::string&)> run;
  std::function<void(Items&)> effect;
  bool changes_password = false;
  // Set up more than the initial items before recording.
  std::function<void(const Paths&)> prepare = {};
  // A sync to skip while recording (1-based among the calls of
  // `skip_kind`): a deliberately broken build, which the explorer must catch.
  long skip_sync = 0;
  int skip_kind = kelFaultFdatasync;
  // The most crash states to check: each costs about as much as the files
  // it lays out, so operations that write a large value get fewer.
  std::size_t states = 4000;
  // A rewrite keeps the old store file under the store's name followed by
  // this (the start of the name when a time follows): whenever the new file
  // is in place, that file holds the old file's bytes.
  const char* backup = nullptr;
  // The store starts damaged (by `prepare`): before the operation a reader
  // finds the entries this leaves of the initial ones, and check reports
  // damage. A next writer repairs such a store before it adds.
  std::function<void(Items&)> damaged = {};
  // The store starts (or is created) in format 2, with the cheapest
  // parameters.
  bool version2 = false;
  // The operation turns a format-1 store into format 2: done means format 2
  // as well as the entries, untouched format 1.
  bool upgrades = false;
  // The store starts in format 3 (key slots), with the cheapest parameters.
  bool version3 = false;
  // For an operation that leaves the entries as they were: the number of
  // key slots the store file's header has once it is done.
  int slots_when_done = 0;
};

// The number of key slots in the format-3 header of the file at `path`.
int slot_count(const std::string& path) {
  const std::string bytes = kel::test::read_file(path);
  return bytes.size() < 52 ? 0 : static_cast<unsigned char>(bytes[48]);
}

StoreOptions options_for(const Scenario& scenario) {
  if (scenario.version3) return kel::test::cheapest(3);
  return scenario.version2 ? kel::test::cheapest_v2() : StoreOptions();
}

// A second password slot (under kNew) beside the first.
void grant_second_slot(const Paths& paths) {
  Safe safe(paths.store, kOld);
  std::string error;
  EXPECT_EQ(safe.grant_password(kNew, "second", error), 0) << error;
}

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.label; }

// The trace a process killed mid-append leaves: a zero first byte and part
// of a record after it.
void leave_interrupted_append(const Paths& paths) {
  std::string bytes = kel::test::read_file(paths.store);
  bytes += std::string(1, '\0') + filled("torn", 700);
  kel::test::write_file(paths.store, bytes);
}

// Where the record of `name` starts in the store made from the initial
// items, which are added in the map's order.
long long record_offset(const std::string& name) {
  long long at = format::kHeaderSize;
  for (const auto& [stored, value] : initial_items()) {
    if (stored == name) return at;
    at += codec::record_size(static_cast<long>(stored.size()),
                              static_cast<long long>(value.size()));
  }
  return -1;
}

// Damage one byte of `name`'s record, `at` bytes into it.
void damage_record(const Paths& paths, const std::string& name, long long at) {
  std::string bytes = kel::test::read_file(paths.store);
  bytes[static_cast<std::size_t>(record_offset(name) + at)] ^= 0x20;
  kel::test::write_file(paths.store, bytes);
}

// Leaves a backup of an older store file: sets an entry to its own value.
void rewrite_once(const Paths& paths) {
  Safe safe(paths.store, kOld);
  std::string error;
  EXPECT_EQ(safe.set_entry(Entry("alpha", initial_items().at("alpha")), error), 0) << error;
}

void change_password_once(const Paths& paths) {
  Safe safe(paths.store, kOld);
  std::string error;
  EXPECT_EQ(safe.change_key(paths.store, kOld, kNew, error), 0) << error;
  EXPECT_EQ(safe.change_key(paths.store, kNew, kOld, error), 0) << error;
}

int add_many(Safe& safe, const Items& items, bool replace, std::string& error) {
  std::vector<Entry> entries;
  for (const auto& [name, value] : items) entries.emplace_back(name, value);
  std::vector<AddOutcome> outcomes;
  return safe.add_entries(entries, replace, outcomes, error);
}

std::vector<Scenario> scenarios() {
  auto add_small = [](Safe& safe, const Paths&, std::string& error) {
    return safe.add_entry(Entry("delta", kSmall), error);
  };
  auto change_password = [](Safe& safe, const Paths& paths, std::string& error) {
    return safe.change_key(paths.store, kOld, kNew, error);
  };
  auto added = [](const std::string& value) {
    return [value](Items& items) { items["delta"] = value; };
  };
  auto unreadable = [](const std::string& name) {
    return [name](Items& items) { items.erase(name); };
  };
  auto lose_name = [](const Paths& paths) {
    damage_record(paths, "charlie", codec::name_cipher_at() + 2);
  };
  auto recovered = [](Items& items) {
    items["recovered-" + std::to_string(record_offset("charlie"))] =
        items.extract("charlie").mapped();
  };
  auto repair = [](Safe& safe, const Paths&, std::string& error) {
    IntegrityReport report;
    if (safe.repair(report, error) != 0) return -1;
    if (!report.rewritten) error = "the damaged store was not rewritten";
    return report.rewritten ? 0 : -1;
  };
  return {
      {"create", true, [](Safe& safe, const Paths&, std::string& error) {
         return safe.create_safe(error);
       }, [](Items&) {}},
      {.label = "create_v2",
       .creates = true,
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return safe.create_safe(kel::test::cheapest_v2(), error);
       },
       .effect = [](Items&) {},
       .states = 200,
       .version2 = true},
      {.label = "add_v2", .run = add_small, .effect = added(kSmall), .states = 300,
       .version2 = true},
      {.label = "remove_v2",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return safe.remove_entry("bravo", error);
       },
       .effect = [](Items& items) { items.erase("bravo"); },
       .states = 100,
       .backup = kRewriteBackup,
       .version2 = true},
      {.label = "change_password_v2",
       .run = change_password,
       .effect = [](Items&) {},
       .changes_password = true,
       .states = 40,
       .version2 = true},
      // A new store key: every record sealed again under it, with the new
      // password, in one rewrite; the old file, which opens with the old
      // password, kept as the password change's backup.
      {.label = "rotate_key_v2",
       .run = [](Safe& safe, const Paths& paths, std::string& error) {
         return safe.rotate_key(paths.store, kOld, kNew, error);
       },
       .effect = [](Items&) {},
       .changes_password = true,
       .states = 60,  // each state costs several key derivations
       .backup = ".backup1",
       .version2 = true},
      {.label = "replace_v2",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return safe.replace_entry(Entry("bravo", kSmall), error);
       },
       .effect = [](Items& items) { items["bravo"] = kSmall; },
       .states = 60,
       .backup = kRewriteBackup,
       .version2 = true},
      // The value is sealed again with its new name as additional data.
      {.label = "rename_v2",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return safe.rename_entry("charlie", "golf", error);
       },
       .effect = [](Items& items) { items["golf"] = items.extract("charlie").mapped(); },
       .states = 60,
       .backup = kRewriteBackup,
       .version2 = true},
      {.label = "copy_v2",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return safe.copy_entry("bravo", "hotel", error);
       },
       .effect = [](Items& items) { items["hotel"] = items["bravo"]; },
       .states = 60,
       .backup = kRewriteBackup,
       .version2 = true},
      // Format 2 binds a value to its name: a value whose name was lost no
      // longer authenticates, and repair leaves it out.
      {.label = "repair_lost_name_v2",
       .run = repair,
       .effect = unreadable("charlie"),
       .prepare = lose_name,
       .states = 40,
       .backup = kRepairBackup,
       .damaged = unreadable("charlie"),
       .version2 = true},
      {.label = "repair_lost_value_v2",
       .run = repair,
       .effect = unreadable("charlie"),
       .prepare = [](const Paths& paths) {
         damage_record(paths, "charlie", codec::fixed_part_size(7) + 100);
       },
       .states = 40,
       .backup = kRepairBackup,
       .damaged = unreadable("charlie"),
       .version2 = true},
      // Key slots: a grant rewrites the header (and reseals every name for
      // the new generation); a revocation reseals everything under a new
      // key. Either way the old password opens the old file or the new one.
      {.label = "grant_v3",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return safe.grant_password(kNew, "second", error);
       },
       .effect = [](Items&) {},
       .states = 60,  // each state costs key derivations
       .backup = kRewriteBackup,
       .version3 = true,
       .slots_when_done = 2},
      {.label = "revoke_v3",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return safe.revoke_slot(1, error);
       },
       .effect = [](Items&) {},
       .prepare = grant_second_slot,
       .states = 60,
       .backup = kRewriteBackup,
       .version3 = true,
       .slots_when_done = 1},
      // Format 1 to 2: every record sealed again in one rewrite, readers
      // find the old file or the new one, with the same password.
      {.label = "upgrade",
       .run = [](Safe&, const Paths& paths, std::string& error) {
         Safe fresh(paths.store, kOld);  // an upgrade needs an unopened Safe
         return fresh.upgrade(kel::test::cheapest_v2(), error);
       },
       .effect = [](Items&) {},
       .states = 300,
       .backup = kRewriteBackup,
       .upgrades = true},
      {"add", false, add_small, added(kSmall)},
      {.label = "add_streamed",
       .run = [](Safe& safe, const Paths& paths, std::string& error) {
         return safe.add_entry_from_file("delta", paths.source, error);
       },
       .effect = added(kStreamed),
       .states = 800},
      {"add_after_interrupted_append", false, add_small, added(kSmall), false,
       leave_interrupted_append},
      {"add_without_body_sync", false, add_small, added(kSmall), false, {}, 1},
      {.label = "remove",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return safe.remove_entry("bravo", error);
       },
       .effect = [](Items& items) { items.erase("bravo"); },
       .backup = kRewriteBackup},
      {.label = "remove_last",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return safe.remove_entry("foxtrot", error);
       },
       .effect = [](Items& items) { items.erase("foxtrot"); },
       .backup = kRewriteBackup},
      {.label = "remove_first",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return safe.remove_entry("alpha", error);
       },
       .effect = [](Items& items) { items.erase("alpha"); },
       .backup = kRewriteBackup},
      {"change_password", false, change_password, [](Items&) {}, true},
      {"change_password_over_backup", false, change_password, [](Items&) {}, true,
       change_password_once},
      {.label = "replace",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return safe.replace_entry(Entry("bravo", kSmall), error);
       },
       .effect = [](Items& items) { items["bravo"] = kSmall; },
       .states = 800,
       .backup = kRewriteBackup},
      {.label = "set_replacing",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return safe.set_entry(Entry("charlie", kMedium), error);
       },
       .effect = [](Items& items) { items["charlie"] = kMedium; },
       .states = 800,
       .backup = kRewriteBackup},
      {.label = "set_adding",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return safe.set_entry(Entry("delta", kMedium), error);
       },
       .effect = added(kMedium),
       .states = 800,
       .backup = kRewriteBackup},
      {.label = "replace_streamed",
       .run = [](Safe& safe, const Paths& paths, std::string& error) {
         return safe.replace_entry_from_file("alpha", paths.source, error);
       },
       .effect = [](Items& items) { items["alpha"] = kStreamed; },
       .states = 250,
       .backup = kRewriteBackup},
      {.label = "set_streamed_adding",
       .run = [](Safe& safe, const Paths& paths, std::string& error) {
         return safe.set_entry_from_file("delta", paths.source, error);
       },
       .effect = added(kStreamed),
       .states = 250,
       .backup = kRewriteBackup},
      {.label = "rename",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return safe.rename_entry("charlie", "golf", error);
       },
       .effect = [](Items& items) { items["golf"] = items.extract("charlie").mapped(); },
       .states = 800,
       .backup = kRewriteBackup},
      {.label = "copy",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return safe.copy_entry("bravo", "hotel", error);
       },
       .effect = [](Items& items) { items["hotel"] = items["bravo"]; },
       .states = 800,
       .backup = kRewriteBackup},
      // Over the backup an earlier rewrite left.
      {.label = "replace_over_backup",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return safe.replace_entry(Entry("bravo", kSmall), error);
       },
       .effect = [](Items& items) { items["bravo"] = kSmall; },
       .prepare = rewrite_once,
       .states = 400,
       .backup = kRewriteBackup},
      // The tail of an interrupted append is cut off before the rewrite.
      {.label = "remove_after_interrupted_append",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return safe.remove_entry("charlie", error);
       },
       .effect = [](Items& items) { items.erase("charlie"); },
       .prepare = leave_interrupted_append,
       .states = 400,
       .backup = kRewriteBackup},
      // A batch of adds in one rewrite (what import does): a stored name is
      // skipped, the others appear together or not at all.
      {.label = "add_many",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return add_many(safe, {{"alpha", kSmall}, {"delta", kSmall}, {"golf", kMedium}},
                         false, error);
       },
       .effect = [](Items& items) {
         items["delta"] = kSmall;
         items["golf"] = kMedium;
       },
       .states = 400,
       .backup = kRewriteBackup},
      // The same with replacement (import --replace): the stored name takes
      // its new value in the same rewrite.
      {.label = "add_many_replacing",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return add_many(safe, {{"bravo", kSmall}, {"delta", kMedium}}, true, error);
       },
       .effect = [](Items& items) {
         items["bravo"] = kSmall;
         items["delta"] = kMedium;
       },
       .states = 400,
       .backup = kRewriteBackup},
      {.label = "remove_several",
       .run = [](Safe& safe, const Paths&, std::string& error) {
         return safe.remove_entries({"alpha", "charlie", "foxtrot"}, error);
       },
       .effect = [](Items& items) {
         for (const char* name : {"alpha", "charlie", "foxtrot"}) items.erase(name);
       },
       .states = 800,
       .backup = kRewriteBackup},
      // A damaged name: repair keeps the value under a name of its own.
      {.label = "repair_lost_name",
       .run = repair,
       .effect = recovered,
       .prepare = lose_name,
       .states = 800,
       .backup = kRepairBackup,
       .damaged = unreadable("charlie")},
      // Without the sync that makes the backup's name last before the new
      // file takes the store's name, the damaged file may be lost.
      {.label = "repair_without_backup_sync",
       .run = repair,
       .effect = recovered,
       .prepare = lose_name,
       .skip_sync = 2,
       .skip_kind = kelFaultFsync,
       .states = 100,
       .backup = kRepairBackup,
       .damaged = unreadable("charlie")},
      // A damaged value: repair leaves the entry out.
      {.label = "repair_lost_value",
       .run = repair,
       .effect = unreadable("charlie"),
       .prepare = [](const Paths& paths) {
         damage_record(paths, "charlie", codec::fixed_part_size(7) + 100);
       },
       .states = 800,
       .backup = kRepairBackup,
       .damaged = unreadable("charlie")},
  };
}

// Every entry of the store, or an error text. With `damaged`, a store that
// check finds damaged is read as far as it can be: entries that do not
// read are left out, and *damaged says whether check found damage.
std::string read_all(const std::string& path, const std::string& password,
                     Items& items, bool* damaged = nullptr) {
  Safe safe(path, password);
  std::vector<std::string> names;
  std::string error;
  if (safe.list_entries(names, error) != 0) return "store does not open: " + error;
  std::string unreadable;
  for (const std::string& name : names) {
    Entry entry(name);
    if (safe.get_entry(entry, error) != 0) {
      unreadable = "entry " + name + " unreadable: " + error;
      continue;
    }
    items[name] = std::string(entry.value());
  }
  // The scan reads around damage, so a torn record would not stop the store
  // from opening: a crash may leave an unfinished append, never damage.
  IntegrityReport report;
  if (safe.check(report, error) != 0) return "store does not check: " + error;
  if (damaged != nullptr) {
    *damaged = !report.clean();
    return report.clean() ? unreadable : std::string();
  }
  if (!unreadable.empty()) return unreadable;
  if (!report.clean()) {
    return "store damaged" + (report.damaged.empty()
                                  ? std::string(" values")
                                  : " at offset " + std::to_string(report.damaged[0].offset));
  }
  return {};
}

// Whether a file named the store's name followed by `suffix` (and maybe
// more) holds the old store file `bytes`; empty when one does. A rewrite
// first cuts off the tail of an unfinished append, so a file that holds
// the old one up to such a cut, with every entry in it (`entries`), holds
// all the old file ever held.
std::string check_kept(const std::string& dir, const std::string& suffix,
                       const std::string& bytes, const std::string& password,
                       const Items& entries) {
  std::string seen;
  for (const auto& file : std::filesystem::directory_iterator(dir)) {
    const std::string name = file.path().filename().string();
    if (name.rfind(kStoreName + suffix, 0) != 0) continue;
    const std::string kept = kel::test::read_file(file.path().string());
    if (kept == bytes) return {};
    if (kept.size() < bytes.size() && bytes.compare(0, kept.size(), kept) == 0) {
      // The library names stores with their extension; read a copy.
      const std::string copy = dir + "/kept.safe";
      kel::test::write_file(copy, kept);
      Items held;
      const bool whole = read_all(copy, password, held).empty() && held == entries;
      std::filesystem::remove(copy);
      if (whole) return {};
    }
    seen += " " + name;
  }
  return "the new file is in place, but no " + suffix + " file holds the old one" +
         (seen.empty() ? std::string(" (none there)") : " (only" + seen + ")");
}

std::string describe_items(const Items& items) {
  std::string out = "{";
  for (const auto& [name, value] : items) out += " " + name + ":" + std::to_string(value.size());
  return out + " }";
}

struct Recording {
  DirectoryImage before;
  std::vector<LoggedCall> log;
  int result = -1;
  std::string error;
};

class PowerLoss : public ::testing::TestWithParam<Scenario> {
 protected:
  // Runs the scenario once under the recorder.
  Recording record(const Scenario& scenario, const kel::test::TempDir& dir,
                   const kel::test::TempDir& outside) {
    Paths paths{dir.file(kStoreName), outside.file("source")};
    kel::test::write_file(paths.source, kStreamed);
    std::string error;
    if (!scenario.creates) {
      Safe maker(paths.store, kOld);
      EXPECT_EQ(maker.create_safe(options_for(scenario), error), 0) << error;
      for (const auto& [name, value] : initial_items()) {
        EXPECT_EQ(maker.add_entry(Entry(name, value), error), 0) << error;
      }
    }
    if (scenario.prepare) scenario.prepare(paths);
    Recording out;
    out.before = image_of_directory(dir.path().string());
    faults().reset();
    faults().watch(dir.path().string());
    {
      Safe safe(paths.store, kOld);
      std::vector<std::string> names;
      if (!scenario.creates) safe.list_entries(names, error);
      if (scenario.skip_sync > 0) {
        faults().arm(scenario.skip_kind, scenario.skip_sync, KEL_FAULT_SKIP);
      }
      faults().count(true);
      faults().record(true);
      out.result = scenario.run(safe, paths, out.error);
      faults().record(false);
      faults().count(false);
    }
    faults().watch("");
    faults().reset();
    out.log = faults().take_log();
    return out;
  }

  // Checks one state laid out in `dir`; empty when every promise holds.
  // `old_file`: the store file's bytes before the operation.
  static std::string check(const Scenario& scenario, const std::string& dir,
                           bool returned, const std::string& old_file) {
    const std::string path = dir + "/" + kStoreName;
    if (scenario.creates && !std::filesystem::exists(path)) {
      if (returned) return "no store after creation returned";
      Safe again(path, kOld);
      std::string error;
      return again.create_safe(options_for(scenario), error) == 0
                 ? ""
                 : "creation cannot be retried: " + error;
    }
    Items before = scenario.creates ? Items{} : initial_items();
    Items after = before;
    scenario.effect(after);
    if (scenario.damaged) scenario.damaged(before);
    std::string password = kOld;
    if (scenario.changes_password) {
      std::string error;
      Safe probe(path, kNew);
      if (probe.key_verified(error)) {
        password = kNew;
      } else if (returned) {
        return "the new password does not open the store after the change returned";
      }
    }
    Items found;
    bool damaged = false;
    std::string problem =
        read_all(path, password, found, scenario.damaged ? &damaged : nullptr);
    if (!problem.empty()) return problem;
    int format = 1;
    if (scenario.upgrades) {
      std::string error;
      format = Safe(path, password).format_version(error);
    }
    // A password change is done when the new password opens the store.
    const bool changed = !scenario.changes_password || password == kNew;
    const bool slots_done =
        scenario.slots_when_done == 0 || slot_count(path) == scenario.slots_when_done;
    const bool done = found == after && !damaged && (!scenario.upgrades || format == 2) &&
                      changed && slots_done;
    const bool untouched = found == before && damaged == bool(scenario.damaged) &&
                           (!scenario.upgrades || format == 1) &&
                           (!scenario.changes_password || !changed) &&
                           (scenario.slots_when_done == 0 || !slots_done);
    if (!done && (returned || !untouched)) {
      return "entries " + describe_items(found) + (damaged ? " (damaged)" : "") +
             " in format " + std::to_string(format) +
             ", expected " + describe_items(after) +
             (returned ? "" : " or " + describe_items(before));
    }
    if (done && scenario.backup != nullptr) {
      problem = check_kept(dir, scenario.backup, old_file, password, before);
      if (!problem.empty()) return problem;
    }
    if (password == kNew) {
      Items saved;
      // The library names stores with their extension; read a copy.
      std::error_code failure;
      std::filesystem::copy_file(path + ".backup1", dir + "/backup.safe", failure);
      problem = failure ? "backup missing" : read_all(dir + "/backup.safe", kOld, saved);
      if (!problem.empty()) return "backup: " + problem;
      if (saved != before) return "backup holds " + describe_items(saved);
    }
    std::string error;
    if (damaged) {
      // A damaged store takes no rewrite until it is repaired: the next
      // writer repairs it, and must get what the operation would have made.
      Safe mender(path, password);
      IntegrityReport report;
      if (mender.repair(report, error) != 0) return "the next repair fails: " + error;
      found = after;
    }
    Safe next(path, password);
    const std::string value = filled(kNextName, 333);
    if (next.add_entry(Entry(kNextName, value), error) != 0) {
      return "the next writer fails: " + error;
    }
    found[kNextName] = value;
    Items later;
    problem = read_all(path, password, later);
    if (!problem.empty()) return "after the next writer: " + problem;
    // An append that died after syncing its body but before its first byte
    // left a whole record, which the next writer completes: the operation's
    // effect may appear then, entire.
    Items completed = after;
    completed[kNextName] = value;
    if (later != found && (returned || later != completed)) {
      return "after the next writer: entries " + describe_items(later);
    }
    // Every byte of the file belongs to a record that authenticates (the
    // reference walker reads formats 1 and 2; a format-3 file is checked
    // through the library, by check).
    if (scenario.version3) {
      IntegrityReport report;
      if (Safe(path, password).check(report, error) != 0 || !report.damaged.empty() ||
          !report.failed_values.empty()) {
        return "after the next writer the file does not check clean: " + error;
      }
      return {};
    }
    const StoreWalk walk = walk_store_file(path, password, true);
    if (!walk.problem.empty() || walk.interrupted_tail) {
      return "after the next writer the file is not well-formed: " + walk.problem;
    }
    return {};
  }

  // Lays the state out in the emptied scratch directory and checks it.
  static std::string check_state(const Scenario& scenario, const Recording& recording,
                                 const CrashState& state,
                                 const kel::test::TempDir& scratch) {
    for (const auto& entry : std::filesystem::directory_iterator(scratch.path())) {
      std::filesystem::remove(entry.path());
    }
    for (const auto& [name, bytes] : files_after_crash(recording.before, recording.log, state)) {
      kel::test::write_file(scratch.file(name), bytes);
    }
    // The checks need no durability: their syncs are skipped, for speed.
    faults().watch(scratch.path().string());
    faults().syncs_off(true);
    const bool returned = recording.result == 0 && state.point == recording.log.size();
    auto old_file = recording.before.files.find(kStoreName);
    std::string problem =
        check(scenario, scratch.path().string(), returned,
              old_file == recording.before.files.end() ? "" : old_file->second.bytes);
    faults().syncs_off(false);
    faults().watch("");
    return problem;
  }

  // The scenario's share of states; KEL_SAFE_POWER_STATES sets one figure
  // for every scenario instead. A deliberately broken build keeps its whole
  // share: it must reach the states that fail.
  static std::size_t budget(const Scenario& scenario) {
#ifdef KEL_POWER_SANITIZED
    const std::size_t divisor = scenario.skip_sync > 0 ? 1 : 16;
#else
    const std::size_t divisor = 1;
#endif
    const long share = static_cast<long>(std::max<std::size_t>(scenario.states / divisor, 1));
    return static_cast<std::size_t>(env_long("KEL_SAFE_POWER_STATES", share));
  }

  static void TearDownTestSuite() {
    std::cout << "power loss: " << total_checked_ << " crash states checked\n";
  }

  static inline std::size_t total_checked_ = 0;

  // Explores every crash state of the scenario; returns the failing ones.
  std::vector<std::string> explore(const Scenario& scenario, std::size_t& checked) {
    kel::test::TempDir dir, outside;
    Recording recording = record(scenario, dir, outside);
    EXPECT_EQ(recording.result, 0) << recording.error;
    std::vector<CrashState> states;
    const char* replay = std::getenv("KEL_SAFE_POWER_REPLAY");
    const std::string prefix = std::string(scenario.label) + "|";
    if (replay != nullptr && std::string(replay).rfind(prefix, 0) == 0) {
      states.push_back(parse_crash_state(std::string(replay).substr(prefix.size())));
      for (std::size_t i = 0; i < recording.log.size(); ++i) {
        const LoggedCall& call = recording.log[i];
        std::cout << i << ": kind " << call.kind << " inode " << call.file << " offset "
                  << call.offset << " bytes " << call.data.size() << " " << call.name
                  << " " << call.name2 << "\n";
      }
    } else {
      states = crash_states(recording.log, budget(scenario), 0x6b656c2d73616665ULL);
    }
    std::vector<std::string> failures;
    kel::test::TempDir scratch;
    for (const CrashState& state : states) {
      std::string problem = check_state(scenario, recording, state, scratch);
      if (!problem.empty()) failures.push_back(describe(state) + ": " + problem);
    }
    checked = states.size();
    total_checked_ += checked;
    std::cout << scenario.label << ": " << recording.log.size() << " calls, "
              << checked << " crash states, " << failures.size() << " failing\n";
    return failures;
  }
};

TEST_P(PowerLoss, EveryCrashStateKeepsThePromises) {
  std::size_t checked = 0;
  const std::vector<std::string> failures = explore(GetParam(), checked);
  EXPECT_GT(checked, 0U);
  if (GetParam().skip_sync > 0) {
    EXPECT_FALSE(failures.empty()) << "a missing sync went unnoticed";
    return;
  }
  for (std::size_t i = 0; i < failures.size() && i < 10; ++i) {
    ADD_FAILURE() << GetParam().label << " " << failures[i];
  }
}

INSTANTIATE_TEST_SUITE_P(Operations, PowerLoss, ::testing::ValuesIn(scenarios()),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace kel::robust
