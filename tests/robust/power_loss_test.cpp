// Power loss at any instant of a writing operation. Each operation runs once
// with the interposer recording every call that changes the store's
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
//   - the next writer adds an entry, everything reads back after it, and the
//     tests' own reader finds every byte of the file in a sound record.
// A failing state is printed with its crash point and the changes applied;
// KEL_SAFE_POWER_REPLAY="<operation>|<that description>" checks that one
// state alone. KEL_SAFE_POWER_STATES sets the most states per operation (default
// 4000, a sixteenth of that under the sanitizers, which run the whole
// suite again at several times the cost).
// One scenario records an add with its body sync skipped: the explorer must
// find failing states there, or it proves nothing.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <map>

#include "kel/entry.h"
#include "kel/safe.h"
#include "robust/crash_states.h"
#include "robust/fault_control.h"
#include "robust/robust_util.h"
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
const std::string kStreamed = filled("echo", (1 << 20) + 300000);

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
  // A sync to skip while recording (1-based among fdatasync calls): a
  // deliberately broken build, which the explorer must catch.
  long skip_data_sync = 0;
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.label; }

// The trace a process killed mid-append leaves: a zero first byte and part
// of a record after it.
void leave_interrupted_append(const Paths& paths) {
  std::string bytes = kel::test::read_file(paths.store);
  bytes += std::string(1, '\0') + filled("torn", 700);
  kel::test::write_file(paths.store, bytes);
}

void change_password_once(const Paths& paths) {
  Safe safe(paths.store, kOld);
  std::string error;
  EXPECT_EQ(safe.change_key(paths.store, kOld, kNew, error), 0) << error;
  EXPECT_EQ(safe.change_key(paths.store, kNew, kOld, error), 0) << error;
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
  return {
      {"create", true, [](Safe& safe, const Paths&, std::string& error) {
         return safe.create_safe(error);
       }, [](Items&) {}},
      {"add", false, add_small, added(kSmall)},
      {"add_streamed", false,
       [](Safe& safe, const Paths& paths, std::string& error) {
         return safe.add_entry_from_file("delta", paths.source, error);
       },
       added(kStreamed)},
      {"add_after_interrupted_append", false, add_small, added(kSmall), false,
       leave_interrupted_append},
      {"add_without_body_sync", false, add_small, added(kSmall), false, {}, 1},
      {"remove", false,
       [](Safe& safe, const Paths&, std::string& error) {
         return safe.remove_entry("bravo", error);
       },
       [](Items& items) { items.erase("bravo"); }},
      {"remove_last", false,
       [](Safe& safe, const Paths&, std::string& error) {
         return safe.remove_entry("foxtrot", error);
       },
       [](Items& items) { items.erase("foxtrot"); }},
      {"remove_first", false,
       [](Safe& safe, const Paths&, std::string& error) {
         return safe.remove_entry("alpha", error);
       },
       [](Items& items) { items.erase("alpha"); }},
      {"change_password", false, change_password, [](Items&) {}, true},
      {"change_password_over_backup", false, change_password, [](Items&) {}, true,
       change_password_once},
  };
}

// Every entry of the store, or an error text.
std::string read_all(const std::string& path, const std::string& password,
                     Items& items) {
  Safe safe(path, password);
  std::vector<std::string> names;
  std::string error;
  if (safe.list_entries(names, error) != 0) return "store does not open: " + error;
  for (const std::string& name : names) {
    Entry entry(name);
    if (safe.get_entry(entry, error) != 0) return "entry " + name + " unreadable: " + error;
    items[name] = std::string(entry.value());
  }
  // The scan reads around damage, so a torn record would not stop the store
  // from opening: a crash may leave an unfinished append, never damage.
  IntegrityReport report;
  if (safe.check(report, error) != 0) return "store does not check: " + error;
  if (!report.clean()) {
    return "store damaged" + (report.damaged.empty()
                                  ? std::string(" values")
                                  : " at offset " + std::to_string(report.damaged[0].offset));
  }
  return {};
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
      EXPECT_EQ(maker.create_safe(error), 0) << error;
      for (const auto& [name, value] : initial_items()) {
        EXPECT_EQ(maker.add_entry(Entry(name, value), error), 0) << error;
      }
    }
    if (scenario.prepare) scenario.prepare(paths);
    Recording out;
    out.before = image_of_directory(dir.path().string());
    kel_fault_reset();
    kel_fault_watch(dir.path().c_str());
    {
      Safe safe(paths.store, kOld);
      std::vector<std::string> names;
      if (!scenario.creates) safe.list_entries(names, error);
      if (scenario.skip_data_sync > 0) {
        kel_fault_arm(kelFaultFdatasync, scenario.skip_data_sync, KEL_FAULT_SKIP);
      }
      kel_fault_count(1);
      kel_fault_record(1);
      out.result = scenario.run(safe, paths, out.error);
      kel_fault_record(0);
      kel_fault_count(0);
    }
    kel_fault_watch(nullptr);
    kel_fault_reset();
    out.log = take_log();
    return out;
  }

  // Checks one state laid out in `dir`; empty when every promise holds.
  static std::string check(const Scenario& scenario, const std::string& dir,
                           bool returned) {
    const std::string path = dir + "/" + kStoreName;
    if (scenario.creates && !std::filesystem::exists(path)) {
      if (returned) return "no store after creation returned";
      Safe again(path, kOld);
      std::string error;
      return again.create_safe(error) == 0 ? "" : "creation cannot be retried: " + error;
    }
    Items before = scenario.creates ? Items{} : initial_items();
    Items after = before;
    scenario.effect(after);
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
    std::string problem = read_all(path, password, found);
    if (!problem.empty()) return problem;
    if (found != after && (returned || found != before)) {
      return "entries " + describe_items(found) + ", expected " + describe_items(after) +
             (returned ? "" : " or " + describe_items(before));
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
    Safe next(path, password);
    std::string error;
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
    // Every byte of the file belongs to a record that authenticates.
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
    kel_fault_watch(scratch.path().c_str());
    kel_fault_syncs_off(1);
    const bool returned = recording.result == 0 && state.point == recording.log.size();
    std::string problem = check(scenario, scratch.path().string(), returned);
    kel_fault_syncs_off(0);
    kel_fault_watch(nullptr);
    return problem;
  }

  static std::size_t budget() {
#ifdef KEL_POWER_SANITIZED
    constexpr long kDefault = 4000 / 16;
#else
    constexpr long kDefault = 4000;
#endif
    return static_cast<std::size_t>(env_long("KEL_SAFE_POWER_STATES", kDefault));
  }

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
      states = crash_states(recording.log, budget(), 0x6b656c2d73616665ULL);
    }
    std::vector<std::string> failures;
    kel::test::TempDir scratch;
    for (const CrashState& state : states) {
      std::string problem = check_state(scenario, recording, state, scratch);
      if (!problem.empty()) failures.push_back(describe(state) + ": " + problem);
    }
    checked = states.size();
    std::cout << scenario.label << ": " << recording.log.size() << " calls, "
              << checked << " crash states, " << failures.size() << " failing\n";
    return failures;
  }
};

TEST_P(PowerLoss, EveryCrashStateKeepsThePromises) {
  std::size_t checked = 0;
  const std::vector<std::string> failures = explore(GetParam(), checked);
  EXPECT_GT(checked, 0U);
  if (GetParam().skip_data_sync > 0) {
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
