// Several processes work on one store at the same time: they add items of
// their own, read and test their own and each other's, list, remove their own,
// and one of them changes the password now and then. Every process checks
// each answer as it goes and logs what was acknowledged; at the end a fresh
// Safe must hold exactly what was added and not removed, byte for byte, and
// the file must be well-formed record by record.
//
// Size: KEL_SAFE_STRESS_PROCS processes (default 4) of KEL_SAFE_STRESS_OPS
// operations each (default 500); KEL_SAFE_STRESS_SEED fixes the random seed.

#include <gtest/gtest.h>
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

constexpr const char* kTag = "Stress";

// Names are determined by (process, serial) and carry bytes beyond ASCII,
// so that any process can recognise and check any name it comes across.
std::string name_for(int process, int serial) {
  std::string name = "p" + std::to_string(process) + "-" + std::to_string(serial) + "-";
  const int pad = (serial * 37 + process * 11) % 200;
  for (int i = 0; i < pad; ++i) name += static_cast<char>(0x80 + (i + serial) % 0x7f);
  return name;
}

bool parse_name(const std::string& name, int& process, int& serial) {
  if (name.size() < 4 || name[0] != 'p') return false;
  std::size_t dash = name.find('-');
  std::size_t dash2 = name.find('-', dash + 1);
  if (dash == std::string::npos || dash2 == std::string::npos) return false;
  try {
    process = std::stoi(name.substr(1, dash - 1));
    serial = std::stoi(name.substr(dash + 1, dash2 - dash - 1));
  } catch (...) {
    return false;
  }
  return name == name_for(process, serial);
}

// Most values are small; every 40th is large enough to be processed in
// several pieces.
std::string expected_value(const std::string& name) {
  int process = 0, serial = 0;
  parse_name(name, process, serial);
  return value_for(name, serial % 40 == 7 ? 300000 : 3000);
}

std::string generation_file(const std::string& dir) { return dir + "/generation"; }

int read_generation(const std::string& dir) {
  std::ifstream in(generation_file(dir));
  int generation = 0;
  in >> generation;
  return generation;
}

void write_generation(const std::string& dir, int generation) {
  const std::string tmp = generation_file(dir) + ".new";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << generation << "\n";
  }
  std::filesystem::rename(tmp, generation_file(dir));
}

struct Counters {
  long adds = 0, imports = 0, removes = 0, gets = 0, other_gets = 0,
       other_found = 0, exists = 0, lists = 0, reopens = 0, reopen_retries = 0,
       password_changes = 0;
};

// One worker process. Everything it finds wrong goes to its log as a BAD line.
class Worker {
 public:
  Worker(int me, int procs, long ops, std::string dir, std::string path,
         std::uint64_t seed)
      : me_(me), procs_(procs), ops_(ops), dir_(std::move(dir)),
        path_(std::move(path)), rng_(seed + static_cast<std::uint64_t>(me) * 7919) {}

  int run() {
    log_fd_ = ::open((dir_ + "/log-" + std::to_string(me_)).c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (log_fd_ < 0) return 2;
    if (!reopen()) return 1;
    for (long i = 0; i < ops_; ++i) step(i);
    log("STAT adds=" + std::to_string(c_.adds) + " imports=" + std::to_string(c_.imports) +
        " removes=" + std::to_string(c_.removes) + " gets=" + std::to_string(c_.gets) +
        " other_gets=" + std::to_string(c_.other_gets) +
        " other_found=" + std::to_string(c_.other_found) +
        " exists=" + std::to_string(c_.exists) + " lists=" + std::to_string(c_.lists) +
        " reopens=" + std::to_string(c_.reopens) +
        " reopen_retries=" + std::to_string(c_.reopen_retries) +
        " password_changes=" + std::to_string(c_.password_changes));
    log("DONE");
    return 0;
  }

 private:
  void log(const std::string& line) { log_line(log_fd_, line, false); }
  void bad(const std::string& what) { log("BAD p" + std::to_string(me_) + ": " + what); }

  // A Safe with the password that is current now; a password change may be
  // under way, in which case the old password stops working before the new
  // one is published, so "Invalid password" is retried.
  bool reopen() {
    for (int attempt = 0; attempt < 500; ++attempt) {
      const int generation = read_generation(dir_);
      safe_ = std::make_unique<Safe>(path_, password_for(kTag, generation));
      std::vector<std::string> names;
      std::string error;
      if (safe_->list_entries(names, error) == 0) {
        ++c_.reopens;
        return true;
      }
      if (error == "Invalid password" || error == "Could not decrypt store key cipher") {
        ++c_.reopen_retries;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      bad("opening failed: '" + error + "'");
      return false;
    }
    bad("could not open the store with any published password");
    return false;
  }

  std::string fresh_name() { return name_for(me_, serial_++); }

  void add(bool from_file) {
    const std::string name = fresh_name();
    const std::string value = expected_value(name);
    std::string error;
    int rc;
    if (from_file) {
      const std::string source = dir_ + "/plain/source-" + std::to_string(me_);
      kel::test::write_file(source, value);
      rc = safe_->add_entry_from_file(name, source, error);
      std::filesystem::remove(source);
      ++c_.imports;
    } else {
      rc = safe_->add_entry(Entry(name, value), error);
      ++c_.adds;
    }
    if (rc != 0) {
      bad("add of a new name failed: '" + error + "'");
      return;
    }
    live_.push_back(name);
    log("A add " + to_hex(name));
  }

  void remove() {
    if (live_.empty()) return add(false);
    const std::size_t at = rng_() % live_.size();
    const std::string name = live_[at];
    std::string error;
    ++c_.removes;
    if (safe_->remove_entry(name, error) != 0) {
      bad("remove of an own item failed: '" + error + "'");
      return;
    }
    live_.erase(live_.begin() + static_cast<long>(at));
    removed_.push_back(name);
    log("A rm " + to_hex(name));
    if (safe_->exists(name)) bad("removed item still exists");
  }

  void get_own() {
    if (live_.empty()) return;
    const std::string& name = live_[rng_() % live_.size()];
    Entry entry(name);
    std::string error;
    ++c_.gets;
    if (safe_->get_entry(entry, error) != 0) {
      bad("get of an own item failed: '" + error + "'");
    } else if (entry.value() != expected_value(name)) {
      bad("own item came back with different bytes");
    }
  }

  // Another process's item may be there or not (not yet added, or removed
  // meanwhile); if it is read, it must read correctly.
  void get_other() {
    if (procs_ < 2) return;
    int other = static_cast<int>(rng_() % static_cast<std::uint64_t>(procs_ - 1));
    if (other >= me_) ++other;
    const int serial = static_cast<int>(rng_() % static_cast<std::uint64_t>(serial_ + 5));
    const std::string name = name_for(other, serial);
    Entry entry(name);
    std::string error;
    ++c_.other_gets;
    if (safe_->get_entry(entry, error) == 0) {
      ++c_.other_found;
      if (entry.value() != expected_value(name)) bad("another process's item came back altered");
    } else if (error != "Item not found") {
      bad("get of another process's item failed: '" + error + "'");
    }
  }

  void exists() {
    ++c_.exists;
    if (!live_.empty() && !safe_->exists(live_[rng_() % live_.size()])) {
      bad("exists() denies an own live item");
    }
    if (!removed_.empty() && safe_->exists(removed_[rng_() % removed_.size()])) {
      bad("exists() reports an own removed item");
    }
  }

  void list() {
    std::vector<std::string> names;
    std::string error;
    ++c_.lists;
    if (safe_->list_entries(names, error) != 0) {
      bad("list failed: '" + error + "'");
      return;
    }
    std::set<std::string> seen;
    for (const auto& name : names) {
      int p = 0, s = 0;
      if (!parse_name(name, p, s)) bad("list holds a name nobody wrote: " + to_hex(name));
      if (!seen.insert(name).second) bad("list holds a name twice: " + to_hex(name));
    }
    for (const auto& name : live_) {
      if (!seen.count(name)) bad("list lacks an own live item");
    }
    for (const auto& name : removed_) {
      if (seen.count(name)) bad("list holds an own removed item");
    }
  }

  void change_password() {
    const int generation = read_generation(dir_);
    std::string error;
    ++c_.password_changes;
    if (safe_->change_key(path_, password_for(kTag, generation),
                          password_for(kTag, generation + 1), error) != 0) {
      bad("password change failed: '" + error + "'");
      return;
    }
    write_generation(dir_, generation + 1);
    log("A pw " + std::to_string(generation + 1));
    reopen();
  }

  void step(long i) {
    const int r = static_cast<int>(rng_() % 100);
    if (me_ == 0 && (i == ops_ / 2 || r == 0)) return change_password();
    if (r < 33) return add(false);
    if (r < 38) return add(true);
    if (r < 52) return remove();
    if (r < 64) return get_own();
    if (r < 74) return get_other();
    if (r < 82) return exists();
    if (r < 92) return list();
    if (r < 96) {
      reopen();
      return;
    }
    return get_own();
  }

  int me_;
  int procs_;
  long ops_;
  std::string dir_;
  std::string path_;
  std::mt19937_64 rng_;
  int log_fd_ = -1;
  int serial_ = 0;
  std::unique_ptr<Safe> safe_;
  std::vector<std::string> live_;
  std::vector<std::string> removed_;
  Counters c_;
};

TEST(ConcurrentProcesses, ManyWritersAndReadersLoseNothing) {
  const int procs = static_cast<int>(env_long("KEL_SAFE_STRESS_PROCS", 4));
  const long ops = env_long("KEL_SAFE_STRESS_OPS", 500);
  const std::uint64_t seed = static_cast<std::uint64_t>(env_long(
      "KEL_SAFE_STRESS_SEED",
      static_cast<long>(std::chrono::steady_clock::now().time_since_epoch().count() &
                        0x7fffffff)));
  std::cout << "stress: " << procs << " processes x " << ops << " operations, seed "
            << seed << std::endl;

  kel::test::TempDir dir;
  const std::string d = dir.path().string();
  std::filesystem::create_directory(d + "/plain");
  const std::string path = d + "/shared.safe";
  write_generation(d, 0);
  {
    Safe creator(path, password_for(kTag, 0));
    std::string text;
    ASSERT_EQ(creator.create_safe(text), 0) << text;
  }

  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  std::vector<pid_t> children;
  std::cout.flush();
  std::fflush(nullptr);
  for (int p = 0; p < procs; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(gate[1]);
      char byte;
      while (::read(gate[0], &byte, 1) > 0) {
      }
      Worker worker(p, procs, ops, d, path, seed);
      ::_exit(worker.run());
    }
    children.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);  // all workers start together

  for (std::size_t p = 0; p < children.size(); ++p) {
    int status = 0;
    ASSERT_EQ(::waitpid(children[p], &status, 0), children[p]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "worker " << p << " ended with status " << status;
  }

  // What every worker saw acknowledged, and everything it found wrong.
  std::set<std::string> expected;
  int final_generation = 0;
  for (int p = 0; p < procs; ++p) {
    bool done = false;
    for (const auto& line : read_lines(d + "/log-" + std::to_string(p))) {
      if (line.rfind("A add ", 0) == 0) {
        EXPECT_TRUE(expected.insert(from_hex(line.substr(6))).second);
      } else if (line.rfind("A rm ", 0) == 0) {
        EXPECT_EQ(expected.erase(from_hex(line.substr(5))), 1u);
      } else if (line.rfind("A pw ", 0) == 0) {
        final_generation = std::max(final_generation, std::stoi(line.substr(5)));
      } else if (line.rfind("BAD ", 0) == 0) {
        ADD_FAILURE() << line;
      } else if (line.rfind("STAT ", 0) == 0) {
        std::cout << "worker " << p << ": " << line.substr(5) << std::endl;
      } else if (line == "DONE") {
        done = true;
      }
    }
    EXPECT_TRUE(done) << "worker " << p << " did not finish";
  }
  EXPECT_EQ(read_generation(d), final_generation);
  EXPECT_GE(final_generation, 1) << "no password change happened";

  // A fresh Safe holds exactly the acknowledged items, each once, each intact.
  const std::string password = password_for(kTag, final_generation);
  Safe check(path, password);
  std::vector<std::string> names;
  std::string error;
  ASSERT_EQ(check.list_entries(names, error), 0) << error;
  std::multiset<std::string> listed(names.begin(), names.end());
  EXPECT_EQ(listed.size(), expected.size());
  for (const auto& name : expected) {
    EXPECT_EQ(listed.count(name), 1u) << "acknowledged item missing: " << to_hex(name);
    Entry entry(name);
    std::string e;
    ASSERT_EQ(check.get_entry(entry, e), 0) << e;
    EXPECT_TRUE(entry.value() == expected_value(name)) << "value altered: " << to_hex(name);
  }
  for (const auto& name : names) {
    EXPECT_TRUE(expected.count(name)) << "item nobody kept: " << to_hex(name);
  }

  // The file itself, read independently: whole records only, each name once.
  StoreWalk walk = walk_store_file(path, password, true);
  EXPECT_EQ(walk.problem, "");
  EXPECT_FALSE(walk.interrupted_tail);
  std::set<std::string> on_disk;
  for (const auto& rec : walk.records) {
    EXPECT_TRUE(on_disk.insert(rec.name).second) << "record twice: " << to_hex(rec.name);
    EXPECT_TRUE(rec.value == expected_value(rec.name));
  }
  EXPECT_EQ(on_disk, expected);
  EXPECT_TRUE(removal_temporaries(path).empty());
  std::cout << "stress: " << expected.size() << " items at the end, "
            << final_generation << " password changes, file "
            << std::filesystem::file_size(path) << " bytes" << std::endl;
}

}  // namespace
}  // namespace kel::robust
