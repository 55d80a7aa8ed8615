// A child process adds, imports, removes, replaces, renames and removes
// several items at once, and changes the password in a loop, logging to
// stable storage "S <op>" before each operation and "A" once it returned 0. The parent kills it with SIGKILL at a random instant,
// again and again. After every kill the store must open with the password of
// the last acknowledged change (or the new one, if the change was in flight),
// hold every acknowledged item byte for byte, and hold the operation in
// flight either completely or not at all. Removal temporaries must not pile
// up; backups may stay.
//
// Size: KEL_SAFE_CRASH_KILLS kills (default 120); KEL_SAFE_CRASH_SEED fixes the
// random seed.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "kel/entry.h"
#include "kel/safe.h"
#include "robust/robust_util.h"
#include "support/test_support.h"

namespace kel::robust {
namespace {

constexpr const char* kTag = "Crash";

std::string value_of(const std::string& name) {
  // Every 12th name gets a value of several hundred kilobytes, so that some
  // kills land in the middle of a long write.
  std::uint64_t h = 0;
  for (unsigned char c : name) h = h * 131 + c;
  return value_for(name, h % 12 == 5 ? 400000 : 4000);
}

struct Model {
  std::map<std::string, std::string> items;  // name -> value
  int generation = 0;
  // Adds killed after their record's body was written but before its first
  // byte: the next writer completes such a record, so it may surface later.
  std::map<std::string, std::string> may_surface;
};

std::vector<std::string> split_hex(const std::string& arg) {
  std::vector<std::string> out;
  for (std::size_t from = 0;;) {
    std::size_t colon = arg.find(':', from);
    out.push_back(from_hex(arg.substr(from, colon - from)));
    if (colon == std::string::npos) return out;
    from = colon + 1;
  }
}

// The effect of one logged operation on the items.
void apply(std::map<std::string, std::string>& items, const std::string& op,
           const std::string& arg) {
  const auto names = split_hex(arg);
  if (op == "add") {
    items[names[0]] = value_of(names[0]);
  } else if (op == "rm" || op == "rmm") {
    for (const auto& name : names) items.erase(name);
  } else if (op == "rep") {
    items[names[0]] = value_of(names[1]);
  } else if (op == "mv") {
    items[names[1]] = items[names[0]];
    items.erase(names[0]);
  }
}

// What one child did before it was killed.
struct Round {
  std::vector<std::pair<std::string, std::string>> acknowledged;  // op, argument
  bool in_flight = false;
  std::string flight_op, flight_arg;
  std::string failure;  // an operation that returned -1 (never expected)
};

// The child: runs until killed. Never returns.
[[noreturn]] void child_loop(const std::string& dir, const std::string& path,
                             Model model, int round, std::uint64_t seed) {
  const int log = ::open((dir + "/../crash-log").c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
  if (log < 0) ::_exit(2);
  std::mt19937_64 rng(seed * 1000003 + static_cast<std::uint64_t>(round));
  auto safe = std::make_unique<Safe>(path, password_for(kTag, model.generation));
  int serial = 0;
  auto fail = [&](const std::string& error) {
    log_line(log, "F " + to_hex(error), true);
    ::_exit(3);
  };
  for (;;) {
    const int r = static_cast<int>(rng() % 100);
    const bool crowded = model.items.size() > 25;
    std::string error;
    if (r < (crowded ? 30 : 55)) {
      const std::string name = "r" + std::to_string(round) + "-" +
                               std::to_string(serial++) + "-" +
                               std::string(rng() % 60, 'n');
      const std::string value = value_of(name);
      log_line(log, "S add " + to_hex(name), true);
      if (safe->add_entry(Entry(name, value), error) != 0) fail(error);
      model.items[name] = value;
    } else if (r < (crowded ? 36 : 64)) {
      const std::string name = "r" + std::to_string(round) + "-" +
                               std::to_string(serial++) + "-file";
      const std::string value = value_of(name);
      const std::string source = dir + "/../import-source";
      kel::test::write_file(source, value);
      log_line(log, "S add " + to_hex(name), true);
      if (safe->add_entry_from_file(name, source, error) != 0) fail(error);
      model.items[name] = value;
    } else if (r < 90) {
      if (model.items.empty()) continue;
      auto pick = [&]() {
        auto it = model.items.begin();
        std::advance(it, static_cast<long>(rng() % model.items.size()));
        return it->first;
      };
      const std::string name = pick();
      std::string op, arg;
      int rc = 0;
      if (r < 74) {
        op = "rm", arg = to_hex(name);
        log_line(log, "S " + op + " " + arg, true);
        rc = safe->remove_entry(name, error);
      } else if (r < 80) {
        const std::string tag = name + "@" + std::to_string(serial++);
        op = "rep", arg = to_hex(name) + ":" + to_hex(tag);
        log_line(log, "S " + op + " " + arg, true);
        rc = safe->replace_entry(Entry(name, value_of(tag)), error);
      } else if (r < 85) {
        const std::string to = "r" + std::to_string(round) + "-" +
                               std::to_string(serial++) + "-moved";
        op = "mv", arg = to_hex(name) + ":" + to_hex(to);
        log_line(log, "S " + op + " " + arg, true);
        rc = safe->rename_entry(name, to, error);
      } else {
        std::set<std::string> names{name, pick(), pick()};
        op = "rmm";
        for (const auto& n : names) arg += (arg.empty() ? "" : ":") + to_hex(n);
        log_line(log, "S " + op + " " + arg, true);
        rc = safe->remove_entries({names.begin(), names.end()}, error);
      }
      if (rc != 0) fail(error);
      apply(model.items, op, arg);
    } else {
      const int next = model.generation + 1;
      log_line(log, "S pw " + std::to_string(next), true);
      if (safe->change_key(path, password_for(kTag, model.generation),
                           password_for(kTag, next), error) != 0) {
        fail(error);
      }
      model.generation = next;
      safe = std::make_unique<Safe>(path, password_for(kTag, next));
    }
    log_line(log, "A", true);
  }
}

Round read_round(const std::string& log_path) {
  Round round;
  std::string pending_op, pending_arg;
  bool pending = false;
  for (const auto& line : read_lines(log_path)) {
    if (line.rfind("S ", 0) == 0) {
      std::size_t space = line.find(' ', 2);
      pending_op = line.substr(2, space - 2);
      pending_arg = line.substr(space + 1);
      pending = true;
    } else if (line == "A" && pending) {
      round.acknowledged.emplace_back(pending_op, pending_arg);
      pending = false;
    } else if (line.rfind("F ", 0) == 0) {
      round.failure = pending_op + ": " + from_hex(line.substr(2));
      pending = false;
    }
  }
  round.in_flight = pending;
  round.flight_op = pending_op;
  round.flight_arg = pending_arg;
  return round;
}

struct Figures {
  int kills = 0, flight_add = 0, flight_rm = 0, flight_rewrite = 0, flight_pw = 0,
      flight_none = 0,
      applied = 0, not_applied = 0, surfaced = 0, interrupted_tails = 0, temporaries_seen = 0;
  long acknowledged = 0;
};

// Checks the store against the model after a kill and brings the model up to
// what the store holds (the operation in flight either happened or not).
void verify_after_kill(const std::string& path, Model& model, const Round& round,
                       Figures& fig) {
  for (const auto& [op, arg] : round.acknowledged) {
    if (op == "pw") {
      model.generation = std::stoi(arg);
    } else {
      apply(model.items, op, arg);
    }
  }
  fig.acknowledged += static_cast<long>(round.acknowledged.size());

  // The password: the acknowledged one, or the new one of a change in flight.
  std::string password = password_for(kTag, model.generation);
  std::string error;
  auto safe = std::make_unique<Safe>(path, password);
  std::vector<std::string> names;
  int rc = safe->list_entries(names, error);
  if (round.in_flight && round.flight_op == "pw") {
    const int next = std::stoi(round.flight_arg);
    if (rc != 0) {
      EXPECT_EQ(error, "Invalid password");
      password = password_for(kTag, next);
      safe = std::make_unique<Safe>(path, password);
      error.clear();
      names.clear();
      rc = safe->list_entries(names, error);
      if (rc == 0) {
        model.generation = next;
        ++fig.applied;
      }
    } else {
      ++fig.not_applied;
    }
  }
  ASSERT_EQ(rc, 0) << "store does not open after the kill: " << error;

  // What the store holds, read through the library.
  std::map<std::string, std::string> held;
  for (const auto& name : names) {
    Entry entry(name);
    std::string e;
    EXPECT_EQ(safe->get_entry(entry, e), 0) << name << ": " << e;
    EXPECT_TRUE(held.emplace(name, std::string(entry.value())).second)
        << "name listed twice: " << name;
  }
  for (auto it = model.may_surface.begin(); it != model.may_surface.end();) {
    const auto found = held.find(it->first);
    if (found != held.end() && found->second == it->second && !model.items.count(it->first)) {
      model.items.insert(*it);
      it = model.may_surface.erase(it);
      ++fig.surfaced;
    } else {
      ++it;
    }
  }
  // It is the state before the operation in flight, or the one after it.
  const bool changes_items = round.in_flight && round.flight_op != "pw";
  auto after = model.items;
  if (changes_items) apply(after, round.flight_op, round.flight_arg);
  if (held == model.items) {
    if (changes_items) ++fig.not_applied;
    if (changes_items && round.flight_op == "add") {
      const std::string name = split_hex(round.flight_arg)[0];
      model.may_surface[name] = value_of(name);
    }
  } else if (changes_items && held == after) {
    ++fig.applied;
    model.items = after;
  } else {
    for (const auto& [name, value] : model.items) {
      if (!held.count(name)) {
        ADD_FAILURE() << "acknowledged item lost after kill: " << name;
      } else if (held.at(name) != value) {
        ADD_FAILURE() << "value altered after kill: " << name;
      }
    }
    for (const auto& [name, value] : held) {
      if (!model.items.count(name)) ADD_FAILURE() << "unexpected item after kill: " << name;
    }
    ADD_FAILURE() << "the store holds neither the state before nor after "
                  << (round.in_flight ? round.flight_op : std::string("nothing"));
    model.items = held;
  }
  std::set<std::string> listed;
  for (const auto& [name, value] : held) listed.insert(name);

  // Independent reading of the file: whole records, possibly followed by the
  // trace of an append that was cut short.
  StoreWalk walk = walk_store_file(path, password, false);
  EXPECT_EQ(walk.problem, "");
  std::set<std::string> on_disk;
  for (const auto& rec : walk.records) on_disk.insert(rec.name);
  EXPECT_EQ(on_disk, listed);
  if (walk.interrupted_tail) ++fig.interrupted_tails;

  const auto temporaries = removal_temporaries(path);
  fig.temporaries_seen += static_cast<int>(temporaries.size());
  std::string listing;
  for (const auto& t : temporaries) {
    listing += " " + std::filesystem::path(t).filename().string() + " (" +
               std::to_string(std::filesystem::file_size(t)) + " bytes)";
  }
  // One interrupted rewrite may leave two: the new file under construction
  // and the second name of the old file that was about to become the backup.
  // The next removal clears them, so they never add up beyond that.
  EXPECT_LE(temporaries.size(), 2u) << "removal temporaries pile up:" << listing;
}

TEST(CrashSafety, KilledAtRandomInstantsTheStoreKeepsEveryAcknowledgedItem) {
  const long kills = env_long("KEL_SAFE_CRASH_KILLS", 120);
  const std::uint64_t seed = static_cast<std::uint64_t>(env_long(
      "KEL_SAFE_CRASH_SEED",
      static_cast<long>(std::chrono::steady_clock::now().time_since_epoch().count() &
                        0x7fffffff)));
  std::cout << "crash: " << kills << " kills, seed " << seed << std::endl;
  std::mt19937_64 rng(seed);

  kel::test::TempDir top;
  const std::string dir = top.file("store");
  std::filesystem::create_directory(dir);
  const std::string path = dir + "/victim.safe";
  {
    Safe creator(path, password_for(kTag, 0));
    std::string text;
    ASSERT_EQ(creator.create_safe(text), 0) << text;
  }

  Model model;
  Figures fig;
  for (long round = 0; round < kills; ++round) {
    // A child killed before it opened the log must not leave the previous
    // round's log to be counted twice (a rename is not idempotent).
    kel::test::write_file(top.file("crash-log"), "");
    std::cout.flush();
    std::fflush(nullptr);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) child_loop(dir, path, model, static_cast<int>(round), seed);

    // Mostly somewhere in the middle of the work; now and then right at the
    // start, while the child opens the store.
    const auto delay = (rng() % 5 == 0) ? std::chrono::microseconds(rng() % 3000)
                                        : std::chrono::microseconds(3000 + rng() % 150000);
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    const Round r = read_round(top.file("crash-log"));
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "child stopped by itself (status " << status << "): " << r.failure;
    ++fig.kills;
    if (!r.in_flight) {
      ++fig.flight_none;
    } else if (r.flight_op == "add") {
      ++fig.flight_add;
    } else if (r.flight_op == "rm") {
      ++fig.flight_rm;
    } else if (r.flight_op != "pw") {
      ++fig.flight_rewrite;
    } else {
      ++fig.flight_pw;
    }
    verify_after_kill(path, model, r, fig);
    if (HasFatalFailure()) return;
  }

  // One more removal, undisturbed, leaves no temporaries at all.
  Safe last(path, password_for(kTag, model.generation));
  std::string error;
  ASSERT_EQ(last.add_entry(Entry("final", "final value"), error), 0) << error;
  ASSERT_EQ(last.remove_entry("final", error), 0) << error;
  // Except one the library cannot prove its own: a rewrite killed right
  // after copying the header (or inside the first record), before a later
  // password change. It starts with a header that is no longer the store's
  // and holds no whole record, so it may as well be another store.
  const std::string header = kel::test::read_file(path).substr(0, 132);
  for (const auto& t : removal_temporaries(path)) {
    const std::string bytes = kel::test::read_file(t);
    if (bytes.size() >= 132 && bytes.size() <= 132 + 296 && bytes.substr(0, 132) != header) {
      continue;
    }
    ADD_FAILURE() << "temporary left after an undisturbed removal: "
                  << std::filesystem::path(t).filename().string() << " (" << bytes.size()
                  << " bytes)";
  }
  StoreWalk walk = walk_store_file(path, password_for(kTag, model.generation), true);
  EXPECT_EQ(walk.problem, "");
  EXPECT_FALSE(walk.interrupted_tail) << "the last writer should have cut the tail off";
  // The last writer may have completed an add killed in the last round.
  for (const auto& rec : walk.records) {
    const auto pending = model.may_surface.find(rec.name);
    if (!model.items.count(rec.name) && pending != model.may_surface.end() &&
        rec.value == pending->second) {
      model.items.insert(*pending);
    }
  }
  EXPECT_EQ(walk.records.size(), model.items.size());
  for (const auto& rec : walk.records) {
    auto it = model.items.find(rec.name);
    ASSERT_NE(it, model.items.end()) << rec.name;
    EXPECT_TRUE(rec.value == it->second);
  }

  std::cout << "crash: survived " << fig.kills << " kills, " << fig.acknowledged
            << " acknowledged operations; in flight at the kill: add " << fig.flight_add
            << ", remove " << fig.flight_rm << ", replace/rename/remove many "
            << fig.flight_rewrite << ", password " << fig.flight_pw
            << ", between operations " << fig.flight_none << "; in-flight completed "
            << fig.applied << ", not " << fig.not_applied << ", completed later by the next writer "
            << fig.surfaced << "; interrupted tails "
            << fig.interrupted_tails << ", temporaries seen " << fig.temporaries_seen
            << "; " << model.items.size() << " items, password generation "
            << model.generation << std::endl;
}

// A removal killed right after it made the backup leaves the backup as a
// second name of the current store file. The next removal must still leave
// no temporary behind (renaming a name onto another name of the same file
// succeeds without removing either).
TEST(CrashSafety, RemovalAfterAnInterruptedOneLeavesNoTemporary) {
  kel::test::TempDir dir;
  const std::string path = dir.file("victim.safe");
  Safe safe(path, password_for(kTag, 0));
  std::string error;
  ASSERT_EQ(safe.create_safe(error), 0) << error;
  ASSERT_EQ(safe.add_entry(Entry("one", "first value"), error), 0) << error;
  ASSERT_EQ(safe.add_entry(Entry("two", "second value"), error), 0) << error;
  ASSERT_EQ(::link(path.c_str(), (path + ".backup2").c_str()), 0);

  ASSERT_EQ(safe.remove_entry("one", error), 0) << error;
  for (const auto& t : removal_temporaries(path)) {
    ADD_FAILURE() << "temporary left behind: " << std::filesystem::path(t).filename().string();
  }
  Safe fresh(path, password_for(kTag, 0));
  Entry entry("two");
  ASSERT_EQ(fresh.get_entry(entry, error), 0) << error;
  EXPECT_EQ(std::string(entry.value()), "second value");
  EXPECT_FALSE(fresh.exists("one"));
}

}  // namespace
}  // namespace kel::robust
