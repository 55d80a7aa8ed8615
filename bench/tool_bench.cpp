// Many values through the command-line tool, against the library doing the
// same work in one process: reading all 10,000 values of a store (get --json
// of every name, export --json) against a loop over get_entry, and importing
// 10,000 entries from a dotenv file against one add_entries call. The
// per-call figures (one tool process per value) are what these replace.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "kel/entry.h"
#include "kel/safe.h"


namespace kel::bench {
namespace {

constexpr std::size_t kEntries = 10000;
constexpr std::size_t kValueSize = 32;

std::string entry_name(std::size_t i) {
  char name[32];
  std::snprintf(name, sizeof name, "item-%07zu", i);
  return name;
}

// One store of 10,000 entries, made once.
const std::string& full_store() {
  static std::string path;
  if (path.empty()) {
    path = fresh_store_path("tool-many");
    create_store(path);
    append_records(path, kEntries, kValueSize);
  }
  return path;
}

// `count` get_entry calls on one Safe, the entry of call i named by `name`.
void library_gets(benchmark::State& state, std::size_t count,
                  std::string (*name)(std::size_t)) {
  const std::string& store = full_store();
  for (auto _ : state) {
    ChildResult r = measure_in_child([&store, count, name]() {
      kel::Safe safe(store, kPassword);
      std::string error;
      for (std::size_t i = 0; i < count; ++i) {
        kel::Entry entry(name(i));
        if (safe.get_entry(entry, error) != 0) return false;
      }
      return true;
    });
    if (!r.ok) {
      state.SkipWithError("get_entry failed");
      break;
    }
    state.SetIterationTime(r.seconds);
  }
}

void BM_LibraryGetEntryLoop(benchmark::State& state) {
  library_gets(state, kEntries, entry_name);
}
BENCHMARK(BM_LibraryGetEntryLoop)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// A session's work: 1,000 gets under one password and one index build,
// through the shell's batch mode against the library's own loop.
constexpr std::size_t kSessionGets = 1000;
std::string session_entry(std::size_t i) { return entry_name(i * 7 % kEntries); }

void BM_LibraryThousandGets(benchmark::State& state) {
  library_gets(state, kSessionGets, session_entry);
}
BENCHMARK(BM_LibraryThousandGets)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_ToolShellBatchThousandGets(benchmark::State& state) {
  const std::string input = scratch_dir() + "/thousand-gets";
  {
    std::ofstream lines(input);
    for (std::size_t i = 0; i < kSessionGets; ++i) lines << "get " << session_entry(i) << "\n";
  }
  for (auto _ : state) {
    const double seconds = run_tool(full_store(), {"shell"}, input);
    if (seconds < 0) {
      state.SkipWithError("shell failed");
      break;
    }
    state.SetIterationTime(seconds);
  }
}
BENCHMARK(BM_ToolShellBatchThousandGets)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The same gets through a running agent, one kel-safe process each, against
// kel-safe version, the floor of a process's start-up; both measured in
// one run, call by call in turn, and compared by their medians.
double median_ms(std::vector<double> seconds) {
  std::sort(seconds.begin(), seconds.end());
  return seconds[seconds.size() / 2] * 1000;
}

void BM_ToolGetThroughAgentPerProcess(benchmark::State& state) {
  const std::string runtime = scratch_dir() + "/run";
  ::mkdir(runtime.c_str(), 0700);
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  if (run_tool(full_store(), {"agent", "start", "--timeout", "10m"}) < 0) {
    state.SkipWithError("agent start failed");
    return;
  }
  for (auto _ : state) {
    std::vector<double> gets, versions;
    double total = 0;
    for (std::size_t i = 0; i < kSessionGets; ++i) {
      const double got = run_tool(full_store(), {"get", session_entry(i)});
      const double version = run_tool(full_store(), {"version"});
      if (got < 0 || version < 0) {
        state.SkipWithError("get through the agent failed");
        break;
      }
      gets.push_back(got);
      versions.push_back(version);
      total += got;
    }
    if (gets.size() != kSessionGets) break;
    state.SetIterationTime(total);
    state.counters["get_median_ms"] = median_ms(gets);
    state.counters["version_median_ms"] = median_ms(versions);
    state.counters["ratio"] = median_ms(gets) / median_ms(versions);
  }
  run_tool(full_store(), {"agent", "stop"});
  ::unsetenv("XDG_RUNTIME_DIR");
}
BENCHMARK(BM_ToolGetThroughAgentPerProcess)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_ToolGetJsonOfEveryName(benchmark::State& state) {
  std::vector<std::string> args = {"get", "--json"};
  for (std::size_t i = 0; i < kEntries; ++i) args.push_back(entry_name(i));
  for (auto _ : state) {
    const double seconds = run_tool(full_store(), args);
    if (seconds < 0) {
      state.SkipWithError("get --json failed");
      break;
    }
    state.SetIterationTime(seconds);
  }
}
BENCHMARK(BM_ToolGetJsonOfEveryName)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_ToolExportJson(benchmark::State& state) {
  for (auto _ : state) {
    const double seconds = run_tool(full_store(), {"export", "--json"});
    if (seconds < 0) {
      state.SkipWithError("export --json failed");
      break;
    }
    state.SetIterationTime(seconds);
  }
}
BENCHMARK(BM_ToolExportJson)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// What one value cost before: a process, a password check and an index
// build per get. Multiply by 10,000 for the whole store.
void BM_ToolGetOneValuePerProcess(benchmark::State& state) {
  for (auto _ : state) {
    const double seconds = run_tool(full_store(), {"get", entry_name(4242)});
    if (seconds < 0) {
      state.SkipWithError("get failed");
      break;
    }
    state.SetIterationTime(seconds);
  }
}
BENCHMARK(BM_ToolGetOneValuePerProcess)
    ->Iterations(20)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

const std::string& dotenv_file() {
  static std::string path;
  if (path.empty()) {
    path = scratch_dir() + "/import.env";
    std::ofstream out(path);
    const std::string value = filler(kValueSize, 7);
    for (std::size_t i = 0; i < kEntries; ++i) {
      // Printable values: the same bytes each time, quoted as export does.
      std::string text;
      for (char c : value) text += static_cast<char>('a' + (static_cast<unsigned char>(c) % 26));
      out << "ITEM_" << i << "='" << text << "'\n";
    }
  }
  return path;
}

void BM_LibraryAddEntriesOneSync(benchmark::State& state) {
  const std::string value = filler(kValueSize, 7);
  for (auto _ : state) {
    const std::string store = fresh_store_path("add-many");
    create_store(store);
    ChildResult r = measure_in_child([&store, &value]() {
      kel::Safe safe(store, kPassword);
      std::vector<kel::Entry> entries;
      entries.reserve(kEntries);
      for (std::size_t i = 0; i < kEntries; ++i) {
        entries.emplace_back("ITEM_" + std::to_string(i), value);
      }
      std::vector<kel::AddOutcome> outcomes;
      std::string error;
      return safe.add_entries(entries, false, outcomes, error) == 0;
    });
    std::filesystem::remove(store);
    std::filesystem::remove(store + ".backup2");
    if (!r.ok) {
      state.SkipWithError("add_entries failed");
      break;
    }
    state.SetIterationTime(r.seconds);
  }
}
BENCHMARK(BM_LibraryAddEntriesOneSync)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_ToolImportDotenv(benchmark::State& state) {
  const std::string& source = dotenv_file();
  for (auto _ : state) {
    const std::string store = fresh_store_path("import-env");
    create_store(store);
    const double seconds = run_tool(store, {"import", "--env", source});
    std::filesystem::remove(store);
    std::filesystem::remove(store + ".backup2");
    if (seconds < 0) {
      state.SkipWithError("import --env failed");
      break;
    }
    state.SetIterationTime(seconds);
  }
}
BENCHMARK(BM_ToolImportDotenv)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// What one entry cost before: a process and an append with its syncs per
// add, into a store that already holds a few thousand entries.
void BM_ToolAddOneValuePerProcess(benchmark::State& state) {
  const std::string store = fresh_store_path("add-one");
  create_store(store);
  append_records(store, kEntries / 2, kValueSize);
  const std::string value = scratch_dir() + "/one-value";
  make_file(value, kValueSize, false);
  std::size_t next = 0;
  for (auto _ : state) {
    const double seconds =
        run_tool(store, {"add", "extra-" + std::to_string(next++), "--file", value});
    if (seconds < 0) {
      state.SkipWithError("add failed");
      break;
    }
    state.SetIterationTime(seconds);
  }
  std::filesystem::remove(store);
}
BENCHMARK(BM_ToolAddOneValuePerProcess)
    ->Iterations(20)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kel::bench
